#include "tolvane_libusb.h"

#include "tolvane_wd.h"

TolvaneWdAPI::TolvaneWdAPI() : impl(std::make_unique<TolvaneWd>()) {}

TolvaneWdAPI::~TolvaneWdAPI() = default;

void TolvaneWdAPI::Deinit() { impl->Deinit(); }

void* TolvaneWdAPI::Register(ITolvaneWdAPICallbackObj* listener) { return impl->Register(listener); }

void TolvaneWdAPI::Unregister(void* key) { impl->Unregister(key); }

std::list<std::string> TolvaneWdAPI::EnumerateDevices() { return impl->EnumerateDevices(); }

std::list<TolvaneConnection> TolvaneWdAPI::EnumerateConnections()
{
    return impl->EnumerateConnections();
}

TolvaneConnection TolvaneWdAPI::Connection(const std::string& serial)
{
    return impl->Connection(serial);
}

bool TolvaneWdAPI::IsLive(const TolvaneConnection& connection) { return impl->IsLive(connection); }

void TolvaneWdAPI::GetDeviceInfo(const std::string& serial, _soc_device_info_t& info)
{
    impl->GetDeviceInfo(serial, info);
}

void TolvaneWdAPI::SetRWRetry(unsigned long count) { impl->SetRWRetry(count); }

void TolvaneWdAPI::Write(const std::string& serial, void* buffer, size_t capacity, size_t length,
                         bool pad, unsigned long timeoutMs, uint64_t* connection)
{
    impl->Write(serial, buffer, capacity, length, pad, timeoutMs, connection);
}

void TolvaneWdAPI::Read(const std::string& serial, void* buffer, size_t length, size_t& transferred,
                        unsigned long timeoutMs, uint64_t* connection)
{
    impl->Read(serial, buffer, length, transferred, timeoutMs, connection);
}

bool TolvaneWdAPI::SwapStaleInput(const std::string& serial, uint64_t* connection, bool stale)
{
    return impl->SwapStaleInput(serial, connection, stale);
}
