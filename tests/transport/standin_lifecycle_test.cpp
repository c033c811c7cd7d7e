// Start-up and shutdown of the transport over the libusb stand-in: the calls made in order, the
// failing start-ups and what they leave behind.
#include <algorithm>

#include "standin_control.h"
#include "test_function.h"
#include "tolvane_wd.h"
#include "transport_fixture.h"

using namespace transport_test;

namespace {

using StandinLifecycle = TransportFixture<TolvaneWdAPI::TolvaneWd>;

std::string registration(const char* product)
{
    return std::string("libusb_hotplug_register_callback(null, 3, 1, 0x7a3c, ") + product + ", -1, handle)";
}

TEST_F(StandinLifecycle, StartsLibusbAndRegistersEveryProductInOrder)
{
    bed->plug(SimDeviceDesc::bulk(0x3C13), std::make_shared<TestFunction>());
    start();
    EXPECT_EQ(standin::calls(),
              (std::vector<std::string>{"libusb_init(null)", "libusb_has_capability(1)",
                                        "libusb_set_debug(null, 3)", registration("0x3c11"),
                                        registration("0x3c17"), registration("0x3c13"),
                                        "libusb_open(dev1)", registration("0x3c15"),
                                        registration("0x3c19")}));
    // Opened inside its registration: in the tables before the constructor returned.
    EXPECT_EQ(wd->EnumerateDevices().size(), 1u);
    EXPECT_TRUE(log.has(severity::trace, "Calling libusb_hotplug_register_callback with product ID: 3c17"));
    auto done = log.find(severity::debug, "libusb initialization succeeded.");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_NE(done[0].scopes.find("DriverInit"), std::string::npos);
    EXPECT_FALSE(log.has(severity::fatal, ""));
}

TEST_F(StandinLifecycle, MissingHotplugCapabilityIsLoggedAndStartUpGoesOn)
{
    standin::Faults faults;
    faults.hasHotplug = false;
    standin::setFaults(faults);
    start();
    EXPECT_TRUE(log.has(severity::fatal, "libusb_has_capability_cb failed, error code: 0"));
    EXPECT_EQ(standin::registrations(), 5);
}

struct StartFailure {
    const char* name;
    standin::Faults faults;
    int result;
    const char* text;
    const char* fatal;
    int registrationCalls;
};

class StandinStartFailure : public StandinLifecycle, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StandinStartFailure, FailsTheConstructorAndLeavesNothingBehind)
{
    const StartFailure& c = GetParam();
    bed->plug(SimDeviceDesc::bulk(0x3C11), std::make_shared<TestFunction>());
    standin::setFaults(c.faults);
    size_t threads = threadCount();

    Failure f = failureOf([&] { TolvaneWdAPI::TolvaneWd transport; });
    EXPECT_EQ(f.code, status(c.result));
    EXPECT_EQ(f.text, c.text);
    EXPECT_TRUE(log.has(severity::fatal, c.fatal));
    EXPECT_EQ(threadCount(), threads);

    auto calls = standin::calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& s) { return s.rfind("libusb_hotplug_register", 0) == 0; }),
              c.registrationCalls);
    if (c.registrationCalls == 0) {
        EXPECT_EQ(calls, std::vector<std::string>{"libusb_init(null)"});
        return;
    }
    // libusb was started: what the registrations opened is closed, the registrations made are
    // ended, and libusb shut down.
    EXPECT_NE(std::find(calls.begin(), calls.end(), "libusb_close(dev1#1)"), calls.end());
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& s) { return s.rfind("libusb_hotplug_deregister", 0) == 0; }),
              c.registrationCalls - 1);
    EXPECT_EQ(calls.back(), "libusb_exit(null)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StandinStartFailure,
    ::testing::Values(StartFailure{"InitFails", with<standin::Faults>([](auto& f) { f.initResult = -3; }), -3, "LIBUSB_ERROR_ACCESS",
                                   "libusb_init failed, error code: fffffffd", 0},
                      StartFailure{"ThirdRegistrationFails",
                                   with<standin::Faults>([](auto& f) {
                                       f.registerFailAt = 3;
                                       f.registerResult = -12;
                                   }), -12,
                                   "LIBUSB_ERROR_NOT_SUPPORTED",
                                   "libusb_hotplug_register_callback failed, error code: fffffff4", 3}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

TEST_F(StandinLifecycle, DeinitReleasesClaimedInterfacesAndClosesEveryHandle)
{
    SimDeviceDesc second = SimDeviceDesc::bulk(0x3C17);
    second.portNumbers = {2};
    bed->plug(SimDeviceDesc::bulk(0x3C11), std::make_shared<TestFunction>());
    bed->plug(second, std::make_shared<TestFunction>());
    start();

    uint8_t message[65] = {1, 2, 3};
    for (const std::string& serial : wd->EnumerateDevices()) {
        _soc_device_info_t info{};
        wd->GetDeviceInfo(serial, info);
        if (info.usb.portNumbers[0] == 1)
            wd->Write(serial, message, sizeof message, 3, true, 1000);
    }
    size_t before = standin::calls().size();
    wd->Deinit();
    auto all = standin::calls();
    std::vector<std::string> calls(all.begin() + static_cast<long>(before), all.end());
    ASSERT_EQ(calls.size(), 9u);
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(calls[static_cast<size_t>(n - 1)], "libusb_hotplug_deregister_callback(null, " + std::to_string(n) + ")");
    auto at = [&](const char* call) { return std::find(calls.begin(), calls.end(), call) - calls.begin(); };
    EXPECT_LT(at("libusb_release_interface(dev1#1, 0)"), at("libusb_close(dev1#1)"));
    EXPECT_LT(at("libusb_close(dev2#1)"), 8);
    EXPECT_EQ(calls.back(), "libusb_exit(null)");
    EXPECT_EQ(standin::closedHandleUses(), 0);
    wd.reset();
}

// libusb's default context outlives a transport that shares it (with another transport, or with
// a host that holds it itself): the transport ends its own registrations, also when its start-up
// fails half-way, and a later arrival reaches only the transports still running.
TEST_F(StandinLifecycle, SharedDefaultContextKeepsNoRegistrationOfAStoppedTransport)
{
    ASSERT_EQ(libusb_init(nullptr), 0); // the host's own hold
    start();
    {
        TolvaneWdAPI::TolvaneWd other;
        EXPECT_EQ(standin::registrations(), 10);
        other.Deinit();
    }
    EXPECT_EQ(standin::registrations(), 5);
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>());
    EXPECT_FALSE(serial.empty());
    stop();
    EXPECT_EQ(standin::registrations(), 0);
    EXPECT_TRUE(standin::initialised());

    standin::setFaults(with<standin::Faults>([](auto& f) {
        f.registerFailAt = 13; // the third of the next transport's
        f.registerResult = -12;
    }));
    Failure f = failureOf([&] { TolvaneWdAPI::TolvaneWd transport; });
    EXPECT_EQ(f.code, status(-12));
    EXPECT_EQ(standin::registrations(), 0);
    libusb_exit(nullptr);
    EXPECT_FALSE(standin::initialised());
}

TEST_F(StandinLifecycle, AfterDeinitLibusbIsNoLongerThere)
{
    bed->plug(SimDeviceDesc::bulk(), std::make_shared<TestFunction>());
    start();
    std::string serial = wd->EnumerateDevices().front();
    wd->Deinit();
    uint8_t buffer[8] = {};
    Failure f = failureOf([&] { wd->Write(serial, buffer, sizeof buffer, 4, false, 1000); });
    EXPECT_EQ(f.code, 0x30000u);
    EXPECT_EQ(f.text, "libusb shared object is not loaded");
    EXPECT_EQ(wd->GetLibusbError(-1), "libusb error");
    wd.reset();
}

TEST_F(StandinLifecycle, RetryCountChangesNoTransfer)
{
    start();
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>(), &id);
    wd->SetRWRetry(5);
    standin::failNextTransfer(id, -1);
    uint8_t message[8] = {};
    Failure f = failureOf([&] { wd->Write(serial, message, sizeof message, 4, false, 1000); });
    EXPECT_EQ(f.code, status(-1));
    EXPECT_TRUE(bed->transcript(id).empty()); // one attempt, no retry
}

} // namespace
