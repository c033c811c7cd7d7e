// The connection table over the stand-in: devices that cannot be opened, reused handle
// addresses, locations, and the registrations kept across events.
#include <cstring>

#include "standin_control.h"
#include "test_function.h"
#include "tolvane_wd.h"
#include "transport_fixture.h"

using namespace transport_test;

namespace {

using StandinDevices = TransportFixture<TolvaneWdAPI::TolvaneWd>;

TEST_F(StandinDevices, DeviceThatCannotBeOpenedIsNeitherStoredNorAnnounced)
{
    SimBed::DeviceId bad = bed->plug(SimDeviceDesc::bulk(0x3C11), std::make_shared<TestFunction>());
    standin::DeviceFaults faults;
    faults.openResult = -3;
    standin::setDeviceFaults(bad, faults);
    start();
    EXPECT_TRUE(wd->EnumerateDevices().empty());
    EXPECT_TRUE(log.has(severity::debug, "Could not open device, handle: 0x0, statusfffffffd"));

    SimDeviceDesc good = SimDeviceDesc::bulk(0x3C17);
    good.portNumbers = {2};
    SimBed::DeviceId goodId = 0;
    std::string serial = attach(good, std::make_shared<TestFunction>(), &goodId);
    ASSERT_FALSE(serial.empty());

    // Its departure finds nothing to remove: logged, nothing queued.
    bed->unplug(bad);
    ASSERT_TRUE(eventually([&] { return log.has(severity::error, "Caught an exception: "); }));
    bed->unplug(goodId);
    EXPECT_EQ(listener.waitFor(2), (std::vector<std::string>{"attach " + serial, "detach " + serial}));
    EXPECT_EQ(standin::registrations(), 5); // the callback kept every registration
}

TEST_F(StandinDevices, ReusedHandleAddressReplacesTheStaleEntryAndClaimsAgain)
{
    start();
    SimBed::DeviceId first = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>(), &first);
    uint8_t message[8] = {7};
    wd->Write(serial, message, sizeof message, 1, false, 1000);

    standin::reuseHandleOnNextOpen(standin::lastHandle(first));
    SimDeviceDesc other = SimDeviceDesc::bulk(0x3C19);
    other.portNumbers = {2};
    SimBed::DeviceId second = 0;
    EXPECT_EQ(attach(other, std::make_shared<TestFunction>(), &second), serial);
    EXPECT_EQ(wd->EnumerateDevices(), std::list<std::string>{serial});

    wd->Write(serial, message, sizeof message, 1, false, 1000);
    EXPECT_EQ(bed->claims(second), std::vector<unsigned>{0});
    EXPECT_EQ(bed->transcript(second).size(), 1u);
    auto calls = standin::calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) { return c.rfind("libusb_close", 0) == 0; }),
              0);
}

TEST_F(StandinDevices, DeviceInfoGivesBusAndPortPath)
{
    SimDeviceDesc deep = SimDeviceDesc::bulk();
    deep.busNumber = 3;
    deep.portNumbers = {1, 4, 2};
    SimDeviceDesc tooDeep = SimDeviceDesc::bulk(0x3C17);
    tooDeep.busNumber = 5;
    tooDeep.portNumbers = {1, 2, 3, 4, 5, 6, 7, 1};
    bed->plug(deep, std::make_shared<TestFunction>());
    bed->plug(tooDeep, std::make_shared<TestFunction>());
    start();
    ASSERT_EQ(wd->EnumerateDevices().size(), 2u);

    int failures = 0;
    for (const std::string& serial : wd->EnumerateDevices()) {
        _soc_device_info_t info;
        std::memset(&info, 0xAB, sizeof info);
        Failure f = failureOf([&] { wd->GetDeviceInfo(serial, info); });
        if (f.thrown) {
            ++failures;
            EXPECT_EQ(f.code, status(-8));
            EXPECT_EQ(f.text, "LIBUSB_ERROR_OVERFLOW");
            EXPECT_EQ(info.usb.busNumber, 5);
            EXPECT_EQ(info.type, 0xABABABABu);
            EXPECT_EQ(info.usb.portCount, static_cast<int32_t>(0xABABABAB));
            continue;
        }
        EXPECT_EQ(info.type, 1u);
        EXPECT_EQ(info.usb.busNumber, 3);
        ASSERT_EQ(info.usb.portCount, 3);
        EXPECT_EQ(std::vector<uint8_t>(info.usb.portNumbers, info.usb.portNumbers + 3),
                  (std::vector<uint8_t>{1, 4, 2}));
    }
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(log.has(severity::error, "libusb_get_port_numbers failed, error code: fffffff8"));

    _soc_device_info_t untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    Failure missing = failureOf([&] { wd->GetDeviceInfo("12345", untouched); });
    EXPECT_EQ(missing.code, 0x30003u);
    EXPECT_EQ(missing.text, "Device not found");
    EXPECT_EQ(untouched.type, 0x5A5A5A5Au);
    EXPECT_EQ(untouched.usb.busNumber, 0x5A);
    EXPECT_TRUE(log.has(severity::error, "Device handle not found"));
}

TEST_F(StandinDevices, LookupsOfUnknownHandlesAndSerialsChangeNothing)
{
    bed->plug(SimDeviceDesc::bulk(), std::make_shared<TestFunction>());
    start();
    auto serials = wd->EnumerateDevices();
    std::string serial;
    auto* unknown = reinterpret_cast<libusb_device_handle*>(0x10);
    EXPECT_FALSE(wd->FindSNByHandle(unknown, serial));
    EXPECT_TRUE(serial.empty());
    EXPECT_EQ(wd->RemoveByHandle(unknown), "");
    wd->RemoveBySN("nonexistent");
    EXPECT_TRUE(log.has(severity::trace, "Trying to remove device( sn = nonexistent ) handle from DB"));
    EXPECT_EQ(wd->EnumerateDevices(), serials);
}

} // namespace
