#include "tolvane_libusb.h"

#include "tolvane_wd.h"

TolvaneWdAPI::TolvaneWdAPI() : impl(std::make_unique<TolvaneWd>()) {}

TolvaneWdAPI::~TolvaneWdAPI() = default;

void TolvaneWdAPI::Deinit() { impl->Deinit(); }

void* TolvaneWdAPI::Register(ITolvaneWdAPICallbackObj* listener) { return impl->Register(listener); }

void TolvaneWdAPI::Unregister(void* key) { impl->Unregister(key); }

std::list<std::string> TolvaneWdAPI::EnumerateDevices() { return impl->EnumerateDevices(); }

void TolvaneWdAPI::GetDeviceInfo(const std::string& serial, _soc_device_info_t& info)
{
    impl->GetDeviceInfo(serial, info);
}

void TolvaneWdAPI::SetRWRetry(unsigned long count) { impl->SetRWRetry(count); }

void TolvaneWdAPI::Write(const std::string& serial, void* buffer, size_t capacity, size_t length,
                         bool pad, unsigned long timeoutMs)
{
    impl->Write(serial, buffer, capacity, length, pad, timeoutMs);
}

void TolvaneWdAPI::Read(const std::string& serial, void* buffer, size_t length, size_t& transferred,
                        unsigned long timeoutMs)
{
    impl->Read(serial, buffer, length, transferred, timeoutMs);
}

bool TolvaneWdAPI::SwapStaleInput(const std::string& serial, bool stale)
{
    return impl->SwapStaleInput(serial, stale);
}
