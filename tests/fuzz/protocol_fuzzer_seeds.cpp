// Writes the protocol fuzz target's seed corpus: every command's exchange with the simulated
// board, recorded as the device messages the board sent, on boards that upload in header form
// or payload-only and that send heartbeats. Usage: protocol_fuzz_seeds <folder>
#include <cstdio>
#include <fstream>
#include <string>

#include <boost/log/core/core.hpp>

#include "exceptions.h"
#include "fake_transport.h"
#include "protocol_fuzzer_commands.h"
#include "protocol_fuzzer_input.h"
#include "tolvane_libusb.h"
#include "xol_api.h"
#include "xol_device.h"

namespace {

xolsim::XolDeviceState board()
{
    xolsim::XolDeviceState s;
    s.context = 1;
    s.tokens[3] = xolsim::Bytes(100, 0x3C);
    for (uint8_t type = 1; type <= 3; ++type) {
        xolsim::StorageDevice& dev = s.device(type, 0);
        dev.cardInfo = xolsim::Bytes(type == 2 ? 548 : 212, type);
        // Small blocks keep a whole read inside the fuzzer's input length.
        dev.blockSize = 16;
        dev.maxChunk = 16;
        dev.media[0] = xolsim::Bytes(dev.blockSize * fuzzcmd::bootMediaBlocks, 0x40);
    }
    return s;
}

// The argument each command is recorded with: one the board accepts.
uint8_t argumentOf(unsigned which)
{
    switch (which) {
    case 2: case fuzzcmd::getCardInfo: return 2; // eMMC
    case 9: return 1;                            // protocol version
    case fuzzcmd::readToken: case 14: return 3;  // the slot that holds a token
    case fuzzcmd::readBootMedia: return 1;       // eMMC
    default: return 0;
    }
}

struct Variant {
    const char* name;
    void (*change)(xolsim::XolDeviceState&);
};

const Variant variants[] = {
    {"plain", [](xolsim::XolDeviceState&) {}},
    {"payload-only", [](xolsim::XolDeviceState& s) { s.uploadDefault = {100, true}; }},
    {"heartbeats", [](xolsim::XolDeviceState& s) { s.heartbeats = 1; }},
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    boost::log::core::get()->set_logging_enabled(false);
    TolvaneWdAPI transport;
    int failures = 0;
    for (const Variant& v : variants) {
        for (unsigned which = 0; which < fuzzcmd::count; ++which) {
            xolsim::XolDeviceState state = board();
            v.change(state);
            xolsim::XolDevice device(state);
            FuzzInput input;
            input.which = static_cast<uint8_t>(which);
            input.arg = argumentOf(which);
            device.attachSender([&input](xolsim::Bytes message) {
                input.messages.push_back(message);
                fakeDeviceMessages.push_back(std::move(message));
            });
            fakeHostSink = [&device](const uint8_t* data, size_t n) {
                device.onBulkOut(xolsim::Bytes(data, data + n));
            };
            fakeDeviceMessages.clear();
            XolAPI api(&transport, "1");
            try {
                fuzzcmd::run(api, input.which, input.arg);
            } catch (VemoException const& e) {
                std::fprintf(stderr, "command %u (%s): %s\n", which, v.name, e.what());
                ++failures;
                continue;
            }
            const std::string path =
                std::string(argv[1]) + "/" + std::to_string(which) + "-" + v.name;
            const std::vector<uint8_t> bytes = input.bytes();
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        }
    }
    fakeHostSink = nullptr;
    return failures == 0 ? 0 : 1;
}
