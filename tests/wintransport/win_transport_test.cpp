// The Windows transport over the libusb stand-in: the start-up scan, the device-change window's
// arrival and removal messages, and shutdown with and without a window.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include <windows.h>
#include <dbt.h>

#include "device_window.h"
#include "standin_control.h"
#include "tolvane_libusb.h"
#include "transport_support.h"

namespace {

constexpr GUID deviceClass = {0x6B1D93A2, 0x4C57, 0x4E0A, {0x9F, 0x3B, 0x2D, 0x8E, 0x71, 0xC0, 0x5A, 0x46}};
constexpr GUID otherClass = {0x6B1D93A2, 0x4C57, 0x4E0A, {0x9F, 0x3B, 0x2D, 0x8E, 0x71, 0xC0, 0x5A, 0x47}};

SimDeviceDesc device(uint16_t product, uint8_t serialIndex)
{
    SimDeviceDesc desc = SimDeviceDesc::bulk(product);
    desc.iSerialNumber = serialIndex;
    return desc;
}

int callCount(const std::string& call)
{
    auto calls = standin::calls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

int listCalls() { return callCount("libusb_get_device_list(null)"); }

// The next allocation on the thread that arms it fails: armed from inside libusb_open, it makes
// what follows the open in the arrival path throw.
std::atomic<DWORD> failAllocationOn{0};

void failNextAllocationHere() { failAllocationOn.store(GetCurrentThreadId()); }

// Unplugged from inside its own libusb_open: gone by the time the window listens.
standin::DeviceId leaving = 0;
void unplugLeaving() { standin::unplug(leaving); }

class WinTransport : public ::testing::Test {
protected:
    void SetUp() override { standin::reset(); }
    void TearDown() override
    {
        if (transport) {
            transport->Deinit();
            transport.reset();
        }
        EXPECT_EQ(ownDeviceWindow(), nullptr) << "the window outlived Deinit";
        standin::reset();
    }
    // Returns once the window thread takes messages, its scan after the registration done.
    void start()
    {
        transport = std::make_unique<TolvaneWdAPI>();
        window = waitForDeviceWindow();
        ASSERT_NE(window, nullptr);
        SendMessageA(window, WM_NULL, 0, 0);
    }
    size_t open() { return transport->EnumerateDevices().size(); }
    // Plugs a device with its faults set before anything can see it.
    template <typename F>
    standin::DeviceId plugFaulty(const SimDeviceDesc& desc, F fault)
    {
        standin::DeviceId id = standin::plug(desc, nullptr);
        standin::setDeviceFaults(id, transport_test::with<standin::DeviceFaults>(fault));
        return id;
    }
    // Plugs one more board and sends its arrival message: the devices open then.
    size_t arrive(uint16_t product, uint8_t serialIndex)
    {
        standin::plug(device(product, serialIndex), nullptr);
        deliver(DBT_DEVICEARRIVAL);
        return open();
    }
    void deliver(WPARAM code, const GUID& guid = deviceClass, DWORD type = DBT_DEVTYP_DEVICEINTERFACE)
    {
        DEV_BROADCAST_DEVICEINTERFACE_A broadcast{};
        broadcast.dbcc_size = sizeof broadcast;
        broadcast.dbcc_devicetype = type;
        broadcast.dbcc_classguid = guid;
        SendMessageA(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&broadcast));
    }

    std::unique_ptr<TolvaneWdAPI> transport;
    HWND window = nullptr;
};

TEST_F(WinTransport, StartupScanAttachesEverySupportedDeviceOnePerPass)
{
    standin::plug(device(0x3C11, 1), nullptr);
    standin::plug(device(0x3C9F, 2), nullptr); // foreign product
    standin::plug(device(0x3C17, 3), nullptr);
    standin::plug(device(0x3C19, 4), nullptr);
    start();
    EXPECT_EQ(open(), 3u);
    // Four passes at start-up, a removal and an arrival pass once the window hears of changes.
    EXPECT_EQ(listCalls(), 6);
    deliver(DBT_DEVICEARRIVAL);
    EXPECT_EQ(open(), 3u) << "the foreign product was attached";
}

// A supported device that cannot be opened, listed first, hides none of the others: from the
// start-up scan or from an arrival.
TEST_F(WinTransport, DeviceThatCannotBeOpenedIsSkippedByTheScanAndEachArrival)
{
    standin::DeviceId broken = standin::plug(device(0x3C11, 1), nullptr);
    standin::DeviceFaults faults;
    faults.openResult = -3; // access denied
    standin::setDeviceFaults(broken, faults);
    standin::plug(device(0x3C13, 2), nullptr);
    start();
    EXPECT_EQ(open(), 1u);
    standin::plug(device(0x3C15, 3), nullptr);
    deliver(DBT_DEVICEARRIVAL);
    EXPECT_EQ(open(), 2u);
    deliver(DBT_DEVICEARRIVAL);
    EXPECT_EQ(open(), 2u);
    standin::setDeviceFaults(broken, standin::DeviceFaults{});
    deliver(DBT_DEVICEARRIVAL);
    EXPECT_EQ(open(), 3u);
}

// A board held by another program for a moment is attached at the next arrival, and the board
// whose arrival that is as well.
TEST_F(WinTransport, ArrivalAfterATransientOpenFailureAttachesBothBoards)
{
    standin::DeviceId held = plugFaulty(device(0x3C11, 1), [](standin::DeviceFaults& f) { f.openResult = -3; });
    start();
    EXPECT_EQ(open(), 0u);
    standin::setDeviceFaults(held, standin::DeviceFaults{});
    EXPECT_EQ(arrive(0x3C13, 2), 2u);
}

// A board that arrives after the start-up scan and before the window listens brings no message.
TEST_F(WinTransport, BoardArrivingBeforeTheWindowListensIsAttached)
{
    standin::plug(device(0x3C11, 1), nullptr);
    // Absent from the start-up scan's two passes, present from then on.
    plugFaulty(device(0x3C13, 2), [](standin::DeviceFaults& f) { f.unlistedFor = 2; });
    start();
    EXPECT_EQ(open(), 2u);
    EXPECT_EQ(arrive(0x3C15, 3), 3u);
}

// A board that leaves after the start-up scan and before the window listens brings no removal
// message either: it must not stay open, nor be taken for the next board that leaves.
TEST_F(WinTransport, BoardLeavingBeforeTheWindowListensIsDetached)
{
    leaving = standin::plug(device(0x3C11, 1), nullptr);
    standin::DeviceId other = standin::plug(device(0x3C13, 2), nullptr);
    standin::onNextOpen(unplugLeaving);
    start();
    EXPECT_EQ(open(), 1u);
    EXPECT_EQ(callCount("libusb_close(dev" + std::to_string(leaving) + "#1)"), 1);
    standin::unplug(other);
    deliver(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(open(), 0u);
}

// Any device of any maker may be listed first with a descriptor that cannot be read.
TEST_F(WinTransport, DeviceWithUnreadableDescriptorHidesNoBoard)
{
    SimDeviceDesc foreign = device(0x0001, 9);
    foreign.vendorId = 0x1D6B;
    plugFaulty(foreign, [](standin::DeviceFaults& f) { f.descriptorResult = -1; });
    standin::plug(device(0x3C11, 1), nullptr);
    standin::plug(device(0x3C17, 2), nullptr);
    start();
    EXPECT_EQ(open(), 2u);
    EXPECT_EQ(arrive(0x3C19, 3), 3u);
}

TEST_F(WinTransport, ArrivalAttachesEveryNewBoardRemovalDetachesOne)
{
    start();
    standin::DeviceId a = standin::plug(device(0x3C11, 1), nullptr);
    standin::DeviceId b = standin::plug(device(0x3C15, 2), nullptr);
    EXPECT_EQ(open(), 0u);
    deliver(DBT_DEVICEARRIVAL);
    EXPECT_EQ(open(), 2u);
    deliver(DBT_DEVICEARRIVAL);
    EXPECT_EQ(open(), 2u);

    // Both gone: one per removal message.
    standin::unplug(a);
    standin::unplug(b);
    deliver(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(open(), 1u);
    deliver(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(open(), 0u);
}

// Two boards of one model have equal descriptors: the unplugged one is still told apart by
// libusb's device, and once plugged in again it is reachable under a new serial text.
TEST_F(WinTransport, BoardsWithEqualDescriptorsLeaveAndComeBackOneByOne)
{
    standin::DeviceId a = standin::plug(device(0x3C11, 7), nullptr);
    standin::plug(device(0x3C11, 7), nullptr);
    start();
    ASSERT_EQ(open(), 2u);
    auto before = transport->EnumerateDevices();
    standin::unplug(a);
    deliver(DBT_DEVICEREMOVECOMPLETE);
    auto left = transport->EnumerateDevices();
    ASSERT_EQ(left.size(), 1u);
    deliver(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(transport->EnumerateDevices(), left);

    standin::plug(device(0x3C11, 7), nullptr);
    deliver(DBT_DEVICEARRIVAL);
    EXPECT_EQ(open(), 2u);
}

// The window thread's arrival and removal handling runs in a named scope of its own.
TEST_F(WinTransport, ArrivalAndRemovalRecordsCarryTheirScope)
{
    transport_test::LogCapture log;
    start();
    standin::DeviceId id = standin::plug(device(0x3C11, 1), nullptr);
    deliver(DBT_DEVICEARRIVAL);
    ASSERT_EQ(open(), 1u);
    standin::unplug(id);
    deliver(DBT_DEVICEREMOVECOMPLETE);
    ASSERT_EQ(open(), 0u);
    auto added = log.find(transport_test::severity::debug, "Found device we need to add");
    ASSERT_EQ(added.size(), 1u);
    EXPECT_NE(added[0].scopes.find("SendAddedLibusbDeviceToHotPlug"), std::string::npos) << added[0].scopes;
    auto removed = log.find(transport_test::severity::debug, "HotPlug detached device.");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_NE(removed[0].scopes.find("SendRemovedLibusbDeviceToHotPlug"), std::string::npos)
        << removed[0].scopes;
}

// The arrival path throws after libusb_open: the handle is closed, the scan goes on, and the
// board is attached at a later pass.
TEST_F(WinTransport, AttachFailingAfterOpenClosesItsHandle)
{
    standin::plug(device(0x3C11, 1), nullptr);
    standin::plug(device(0x3C13, 2), nullptr);
    standin::onNextOpen(failNextAllocationHere);
    start();
    EXPECT_EQ(open(), 2u);
    EXPECT_EQ(callCount("libusb_open(dev1)"), 2) << "the first attach did not fail";
    EXPECT_EQ(callCount("libusb_close(dev1#1)"), 1) << "the handle of the failed attach was left open";
}

struct Ignored {
    const char* name;
    WPARAM code;
    GUID guid;
    DWORD type;
};

class WinTransportIgnored : public WinTransport, public ::testing::WithParamInterface<Ignored> {};

TEST_P(WinTransportIgnored, MessageChangesNothing)
{
    standin::DeviceId gone = standin::plug(device(0x3C11, 1), nullptr);
    start();
    ASSERT_EQ(open(), 1u);
    standin::unplug(gone);
    standin::plug(device(0x3C13, 2), nullptr);
    const Ignored& p = GetParam();
    deliver(p.code, p.guid, p.type);
    EXPECT_EQ(open(), 1u);
    EXPECT_EQ(transport->EnumerateDevices().size(), 1u);
    // The same transport still follows the right messages.
    deliver(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(open(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, WinTransportIgnored,
    ::testing::Values(Ignored{"ArrivalOtherClass", DBT_DEVICEARRIVAL, otherClass, DBT_DEVTYP_DEVICEINTERFACE},
                      Ignored{"RemovalOtherClass", DBT_DEVICEREMOVECOMPLETE, otherClass, DBT_DEVTYP_DEVICEINTERFACE},
                      Ignored{"ArrivalOtherType", DBT_DEVICEARRIVAL, deviceClass, DBT_DEVTYP_HANDLE},
                      Ignored{"RemovalOtherType", DBT_DEVICEREMOVECOMPLETE, deviceClass, DBT_DEVTYP_PORT},
                      Ignored{"QueryRemove", DBT_DEVICEQUERYREMOVE, deviceClass, DBT_DEVTYP_DEVICEINTERFACE},
                      Ignored{"RemovePending", DBT_DEVICEREMOVEPENDING, deviceClass, DBT_DEVTYP_DEVICEINTERFACE},
                      Ignored{"CustomEvent", DBT_CUSTOMEVENT, deviceClass, DBT_DEVTYP_DEVICEINTERFACE}),
    [](const ::testing::TestParamInfo<Ignored>& info) { return std::string(info.param.name); });

// Shutdown at once, mostly before the window thread has made its window: the thread must end.
TEST_F(WinTransport, DeinitRightAfterStartEndsTheWindowThread)
{
    standin::plug(device(0x3C11, 1), nullptr);
    for (int i = 0; i < 20; ++i) {
        TolvaneWdAPI quick;
        EXPECT_EQ(quick.EnumerateDevices().size(), 1u);
        quick.Deinit();
    }
}

// Without a window (its class cannot be registered) the transport keeps the devices found at
// start-up and shuts down.
TEST_F(WinTransport, DeinitWithoutWindow)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA taken{};
    taken.lpfnWndProc = DefWindowProcA;
    taken.hInstance = instance;
    taken.lpszClassName = "xol_device";
    ASSERT_NE(RegisterClassA(&taken), 0);
    standin::plug(device(0x3C11, 1), nullptr);
    {
        TolvaneWdAPI lonely;
        EXPECT_EQ(lonely.EnumerateDevices().size(), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        lonely.Deinit();
    }
    EXPECT_TRUE(UnregisterClassA("xol_device", instance));
}

} // namespace

void* operator new(std::size_t size)
{
    DWORD armed = failAllocationOn.load();
    if (armed != 0 && armed == GetCurrentThreadId() && failAllocationOn.compare_exchange_strong(armed, 0))
        throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
