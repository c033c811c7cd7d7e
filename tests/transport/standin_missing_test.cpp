// A libusb that lacks one function. Each run loads a stand-in built without the function named
// by XOL_STANDIN_MISSING; the case for that function runs, the others are skipped.
#include <algorithm>
#include <cstdlib>

#include "standin_control.h"
#include "test_function.h"
#include "tolvane_wd.h"
#include "transport_fixture.h"

using namespace transport_test;

namespace {

class MissingFunction : public TransportFixture<TolvaneWdAPI::TolvaneWd> {
protected:
    void SetUp() override
    {
        const char* missing = std::getenv("XOL_STANDIN_MISSING");
        if (!missing || missing != std::string(name()))
            GTEST_SKIP() << "this run's stand-in lacks " << (missing ? missing : "nothing");
        threads = threadCount();
    }
    virtual const char* name() const = 0;

    // The constructor failed with the "not found" failure naming the function, stopped its
    // threads, and shut libusb down when it had started it.
    void expectStartFails(bool libusbStarted)
    {
        Failure f = failureOf([&] { TolvaneWdAPI::TolvaneWd transport; });
        EXPECT_EQ(f.code, 0x10003u);
        EXPECT_EQ(f.text, std::string("libusb symbol \"") + name() + "\" not found");
        EXPECT_EQ(threadCount(), threads);
        auto calls = standin::calls();
        ASSERT_EQ(!calls.empty(), libusbStarted);
        if (libusbStarted) {
            EXPECT_EQ(calls.back(), "libusb_exit(null)");
        }
    }

    size_t threads = 0;
};

#define MISSING_CASE(fn)                                                                           \
    class Missing_##fn : public MissingFunction {                                                  \
    protected:                                                                                     \
        const char* name() const override { return #fn; }                                          \
    };                                                                                             \
    TEST_F(Missing_##fn, Case)

MISSING_CASE(libusb_init) { expectStartFails(false); }

MISSING_CASE(libusb_hotplug_register_callback)
{
    expectStartFails(true);
    EXPECT_EQ(standin::calls(), (std::vector<std::string>{"libusb_init(null)", "libusb_exit(null)"}));
}

// Looked up before the first registration: none is made that could not be ended.
MISSING_CASE(libusb_hotplug_deregister_callback)
{
    expectStartFails(true);
    EXPECT_EQ(standin::calls(), (std::vector<std::string>{"libusb_init(null)", "libusb_exit(null)"}));
}

MISSING_CASE(libusb_handle_events_timeout_completed)
{
    bed->plug(SimDeviceDesc::bulk(), std::make_shared<TestFunction>());
    expectStartFails(true);
    auto calls = standin::calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "libusb_close(dev1#1)"), calls.end());
}

MISSING_CASE(libusb_error_name)
{
    standin::Faults faults;
    faults.initResult = -1;
    standin::setFaults(faults);
    Failure f = failureOf([&] { TolvaneWdAPI::TolvaneWd transport; });
    EXPECT_EQ(f.code, status(-1));
    EXPECT_EQ(f.text, "libusb error");
}

MISSING_CASE(libusb_open)
{
    // The arrival is dropped; start-up itself goes on.
    bed->plug(SimDeviceDesc::bulk(), std::make_shared<TestFunction>());
    start();
    EXPECT_TRUE(wd->EnumerateDevices().empty());
    EXPECT_TRUE(log.has(severity::error, "Caught an exception: libusb symbol \"libusb_open\" not found"));
}

MISSING_CASE(libusb_bulk_transfer)
{
    bed->plug(SimDeviceDesc::bulk(), std::make_shared<TestFunction>());
    start();
    std::string serial = wd->EnumerateDevices().front();
    uint8_t buffer[8] = {};
    Failure f = failureOf([&] { wd->Write(serial, buffer, sizeof buffer, 4, false, 1000); });
    EXPECT_EQ(f.code, 0x10003u);
    EXPECT_EQ(f.text, "libusb symbol \"libusb_bulk_transfer\" not found");
}

// What shutdown calls is bound before libusb_init: shutdown runs in destructors and cannot fail.
MISSING_CASE(libusb_exit) { expectStartFails(false); }
MISSING_CASE(libusb_close) { expectStartFails(false); }
MISSING_CASE(libusb_release_interface) { expectStartFails(false); }

} // namespace
