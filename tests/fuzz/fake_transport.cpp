// A transport that answers from a script of device messages instead of a USB device: each
// scripted message is one bulk IN transfer, handed out in packets as the host asks.
#include "fake_transport.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "exceptions.h"
#include "tolvane_libusb.h"

std::deque<std::vector<uint8_t>> fakeDeviceMessages;
FakeTraffic fakeTraffic;
bool fakeStaleInput = false;
std::function<void(const uint8_t*, size_t)> fakeHostSink;

class TolvaneWdAPI::TolvaneWd {};

namespace {
constexpr size_t packetSize = 512;
}

TolvaneWdAPI::TolvaneWdAPI() : impl(std::make_unique<TolvaneWd>()) {}
TolvaneWdAPI::~TolvaneWdAPI() = default;
void TolvaneWdAPI::Deinit() {}
void* TolvaneWdAPI::Register(ITolvaneWdAPICallbackObj*) { return nullptr; }
void TolvaneWdAPI::Unregister(void*) {}
std::list<std::string> TolvaneWdAPI::EnumerateDevices() { return {}; }
void TolvaneWdAPI::GetDeviceInfo(const std::string&, _soc_device_info_t&) {}
void TolvaneWdAPI::SetRWRetry(unsigned long) {}

void TolvaneWdAPI::Write(const std::string&, void* buffer, size_t capacity, size_t length, bool,
                         unsigned long, uint64_t*)
{
    if (length > capacity)
        __builtin_trap();
    auto const* bytes = static_cast<uint8_t const*>(buffer);
    fakeTraffic.writes.emplace_back(bytes, bytes + length);
    if (fakeHostSink)
        fakeHostSink(bytes, length);
}

void TolvaneWdAPI::Read(const std::string&, void* buffer, size_t length, size_t& transferred,
                        unsigned long, uint64_t*)
{
    if (fakeDeviceMessages.empty())
        throw VemoException(static_cast<unsigned long>(-7L), "LIBUSB_ERROR_TIMEOUT");
    std::vector<uint8_t>& message = fakeDeviceMessages.front();
    const size_t want = length == 0 ? packetSize : length;
    transferred = std::min(want, message.size());
    if (transferred > 0)
        std::memcpy(buffer, message.data(), transferred);
    // Reads before the exchange's first message are a drain of what an earlier one left.
    if (!fakeTraffic.writes.empty()) {
        if (length == 0 || fakeTraffic.reads.empty()) {
            fakeTraffic.reads.emplace_back();
            fakeTraffic.writesBefore.push_back(fakeTraffic.writes.size());
        }
        fakeTraffic.reads.back().insert(fakeTraffic.reads.back().end(), message.begin(),
                                        message.begin() + static_cast<std::ptrdiff_t>(transferred));
    }
    message.erase(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(transferred));
    if (message.empty())
        fakeDeviceMessages.pop_front();
}

bool TolvaneWdAPI::SwapStaleInput(const std::string&, uint64_t*, bool stale)
{
    return std::exchange(fakeStaleInput, stale);
}
