// The connection table over the stand-in: devices that cannot be opened, reused handle
// addresses, locations, and the registrations kept across events.
#include <cstring>

#include "standin_control.h"
#include "test_function.h"
#include "tolvane_wd.h"
#include "transport_fixture.h"
#include "xol_api.h"
#include "xol_api_utils.h"
#include "xol_device.h"

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

// The arrival handler's own answer: false for a device it could not open or already holds open.
TEST_F(StandinDevices, HotplugReportsWhetherTheArrivingDeviceWasOpened)
{
    SimBed::DeviceId bad = bed->plug(SimDeviceDesc::bulk(0x3C11), std::make_shared<TestFunction>());
    standin::setDeviceFaults(bad, with<standin::DeviceFaults>([](auto& f) { f.openResult = -3; }));
    start();
    SimDeviceDesc goodDesc = SimDeviceDesc::bulk(0x3C17);
    goodDesc.portNumbers = {2};
    SimBed::DeviceId goodId = 0;
    ASSERT_FALSE(attach(goodDesc, std::make_shared<TestFunction>(), &goodId).empty());

    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(nullptr, &list);
    ASSERT_EQ(count, 2);
    libusb_device* unopenable = list[0];
    libusb_device* good = list[1];
    libusb_free_device_list(list, 1);

    EXPECT_FALSE(wd->Hotplug(unopenable, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED));
    // libusb reporting an open device again makes no second connection.
    EXPECT_FALSE(wd->Hotplug(good, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED));
    EXPECT_EQ(wd->EnumerateDevices().size(), 1u);
    EXPECT_TRUE(wd->Hotplug(unopenable, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)); // not known: caught
    EXPECT_TRUE(wd->Hotplug(good, static_cast<libusb_hotplug_event>(4)));
}

// Board A leaves in the middle of an operation and board B arrives with A's handle address, so
// under A's serial text: nothing the operation sends may reach B.
using StandinOperation = TransportFixture<TolvaneWdAPI>;

TEST_F(StandinOperation, NeverReachesABoardArrivingUnderItsSerialText)
{
    start();
    xolsim::XolDeviceState xol;
    xol.context = 1;
    auto boardA = std::make_shared<xolsim::XolDevice>(xol);
    auto boardB = std::make_shared<xolsim::XolDevice>(xol);
    SimBed::DeviceId a = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), boardA, &a);
    ASSERT_FALSE(serial.empty());

    XolAPI operation(wd.get(), serial);
    operation.set_timeout(1000);
    operation.StartOver(0);
    ASSERT_EQ(boardA->state().commands.size(), 1u);

    bed->unplug(a);
    ASSERT_EQ(listener.waitFor(2).back(), "detach " + serial);
    const char tokenBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Token token(tokenBytes, sizeof tokenBytes);
    Failure gone = failureOf([&] { operation.WriteToken(token, 1); });
    EXPECT_EQ(gone.code, status(LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(gone.text, "LIBUSB_ERROR_NO_DEVICE");

    standin::reuseHandleOnNextOpen(standin::lastHandle(a));
    SimDeviceDesc other = SimDeviceDesc::bulk(0x3C19);
    other.portNumbers = {2};
    SimBed::DeviceId b = 0;
    ASSERT_EQ(attach(other, boardB, &b), serial);
    Failure later = failureOf([&] { operation.WriteToken(token, 1); });
    EXPECT_EQ(later.code, status(LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(later.text, "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_TRUE(bed->transcript(b).empty());
    EXPECT_TRUE(boardB->state().tokens.empty());

    // A new operation resolves the serial text afresh and reaches board B.
    XolAPI next(wd.get(), serial);
    next.set_timeout(1000);
    next.WriteToken(token, 1);
    EXPECT_EQ(boardB->state().tokens.count(1), 1u);
}

// An operation still running for board A after B took A's serial text: its next command neither
// reads nor clears B's mark, so B's late answer is drained before B's next command.
TEST_F(StandinOperation, DepartedBoardLeavesTheStaleMarkOfItsSuccessorAlone)
{
    start();
    xolsim::XolDeviceState xol;
    xol.context = 1;
    SimBed::DeviceId a = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<xolsim::XolDevice>(xol), &a);
    ASSERT_FALSE(serial.empty());
    XolAPI departed(wd.get(), serial, wd->Connection(serial).id);
    departed.set_timeout(1000);
    departed.StartOver(0);

    bed->unplug(a);
    ASSERT_EQ(listener.waitFor(2).back(), "detach " + serial);
    standin::reuseHandleOnNextOpen(standin::lastHandle(a));
    SimDeviceDesc other = SimDeviceDesc::bulk(0x3C19);
    other.portNumbers = {2};
    SimBed::DeviceId b = 0;
    auto boardB = std::make_shared<xolsim::XolDevice>(xol);
    ASSERT_EQ(attach(other, boardB, &b), serial);
    const uint64_t successor = wd->Connection(serial).id;

    // B's Start Over answer stays on its IN endpoint: the host's read gives up first.
    XolAPI abandoned(wd.get(), serial, successor);
    abandoned.set_timeout(1000);
    standin::failTransferAfter(b, 1, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(failureOf([&] { abandoned.StartOver(0); }).code, status(LIBUSB_ERROR_TIMEOUT));

    Failure gone = failureOf([&] { departed.EraseToken(3); });
    EXPECT_EQ(gone.code, status(LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(boardB->state().commands.size(), 1u) << "only the abandoned Start Over";

    XolAPI next(wd.get(), serial, successor);
    next.set_timeout(1000);
    Failure own = failureOf([&] { next.IdDevice(0, 0); });
    EXPECT_FALSE(own.thrown) << own.text;
    const std::vector<SimTransfer> all = bed->transcript(b);
    ASSERT_EQ(all.size(), 4u) << "Start Over out, the drain, Id Device out and in";
    EXPECT_EQ(all[1].direction, SimTransfer::In);
    EXPECT_EQ(all[2].direction, SimTransfer::Out);
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
