// The library acquired once for a whole test binary over its bed, and the fixture of the tests
// that share it: one transport creation, and its one-second wait, per binary.
#ifndef XOL_TEST_OPS_HOST_H
#define XOL_TEST_OPS_HOST_H

#include <deque>

#include "ops_support.h"

namespace ops {

// The library acquired once for the whole binary over its bed, logging on; boards plugged by a
// test leave again when it ends. Released before the bed goes, at the end of the run.
class Host : public ::testing::Environment {
public:
    static Host& get()
    {
        static Host* host = [] {
            auto* h = new Host;
            ::testing::AddGlobalTestEnvironment(h); // owned by the framework from here on
            return h;
        }();
        return *host;
    }

    void SetUp() override
    {
        const char* base = std::getenv("XOL_TEST_TMP");
        tmp = base ? base : "/tmp";
        bed = makeSimBed();
        api = api_acquire();
        ASSERT_NE(api, nullptr);
        api->setlogging(true, tmp + "/debug.log");
        recoveryPath = tmp + "/recovery.bin";
        writeFile(recoveryPath, moduleText({"rcipifwi", "xolmod"}, 3000, 7));
        // Creates the transport: the one wait of the run.
        _soc_device_info_arr_t targets{};
        ASSERT_EQ(api->getavailabletargets(&targets, nullptr), 0u);
    }
    void TearDown() override
    {
        if (api)
            api_release();
        api = nullptr;
        bed.reset();
    }

    std::string tmp;
    std::unique_ptr<SimBed> bed;
    IVemoAPI* api = nullptr;
    std::string recoveryPath; // "xolmod" after a firmware image entry
};

// Registered before main runs, so the environment is set up before the first test.
inline bool hostRegistered = (Host::get(), true);

// Tests on the shared host: boards plugged through plug() are identified before the test goes
// on and unplugged when it ends.
class HostTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (Board& b : boards) {
            const bool wasListed = isListed(api, b.ident);
            host.bed->unplug(b.id);
            if (wasListed) {
                EXPECT_TRUE(waitListed(api, b.ident, false)) << "departure of " << b.ident;
            }
        }
    }

    template <class Device = XolDevice>
    Board& plug(XolDeviceState st, const SimDeviceDesc& desc = nextPort())
    {
        boards.push_back(plugBoard<Device>(*host.bed, std::move(st), desc));
        EXPECT_TRUE(waitListed(api, boards.back().ident)) << "arrival of " << boards.back().ident;
        return boards.back();
    }

    Host& host = Host::get();
    IVemoAPI* api = host.api;
    const char* recovery = host.recoveryPath.c_str();
    std::deque<Board> boards; // references stay valid as boards are added
};

} // namespace ops

#endif
