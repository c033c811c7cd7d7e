// The transport over each bed: with the umockdev bed this is Debian's libusb itself, with the
// stand-in the same paths over the libusb look-alike.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <numeric>

#include <libusb-1.0/libusb.h>

#ifndef _WIN32
#include "host_libusb.h"
#endif
#include "test_bytes.h"
#include "test_function.h"
#include "tolvane_libusb.h"
#include "transport_fixture.h"

using namespace transport_test;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr unsigned long timeoutMs = 5000;

using testkit::pattern;

using BedTransport = TransportFixture<TolvaneWdAPI>;

TEST_F(BedTransport, DevicesPresentAtStartAreOpenWhenTheConstructorReturns)
{
    SimDeviceDesc first = SimDeviceDesc::bulk(0x3C11);
    first.busNumber = 2;
    first.portNumbers = {3};
    SimDeviceDesc second = SimDeviceDesc::bulk(0x3C19);
    second.portNumbers = {1, 4}; // behind a hub
    SimDeviceDesc otherProduct = SimDeviceDesc::bulk(0x3C12);
    otherProduct.portNumbers = {5};
    SimDeviceDesc otherVendor = SimDeviceDesc::bulk(0x3C11);
    otherVendor.vendorId = 0x1234;
    otherVendor.portNumbers = {6};
    bed->plug(first, std::make_shared<TestFunction>());
    bed->plug(second, std::make_shared<TestFunction>());
    bed->plug(otherProduct, std::make_shared<TestFunction>());
    bed->plug(otherVendor, std::make_shared<TestFunction>());

    start();
    std::list<std::string> serials = wd->EnumerateDevices();
    ASSERT_EQ(serials.size(), 2u);

    std::vector<std::pair<int, std::vector<uint8_t>>> locations;
    for (const std::string& serial : serials) {
        _soc_device_info_t info{};
        wd->GetDeviceInfo(serial, info);
        EXPECT_EQ(info.type, 1u);
        ASSERT_GE(info.usb.portCount, 0);
        ASSERT_LE(info.usb.portCount, 7);
        locations.emplace_back(info.usb.busNumber,
                               std::vector<uint8_t>(info.usb.portNumbers, info.usb.portNumbers + info.usb.portCount));
    }
    std::sort(locations.begin(), locations.end());
    EXPECT_EQ(locations, (std::vector<std::pair<int, std::vector<uint8_t>>>{{1, {1, 4}}, {2, {3}}}));
}

TEST_F(BedTransport, ArrivalAndDepartureReachTheListenerWithOneSerialText)
{
    start();
    EXPECT_TRUE(wd->EnumerateDevices().empty());
    SimDeviceDesc ignored = SimDeviceDesc::bulk(0x3C12);
    ignored.portNumbers = {2};
    bed->plug(ignored, std::make_shared<TestFunction>());

    auto fn = std::make_shared<TestFunction>();
    fn->echo = true;
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(0x3C15), fn, &id);
    ASSERT_FALSE(serial.empty());
    EXPECT_EQ(serial, std::to_string(std::stol(serial))); // decimal text of the handle
    EXPECT_EQ(wd->EnumerateDevices(), std::list<std::string>{serial});

    Bytes message = pattern(100);
    wd->Write(serial, message.data(), message.size(), message.size(), true, timeoutMs);
    Bytes answer(512);
    size_t got = 0;
    wd->Read(serial, answer.data(), answer.size(), got, timeoutMs);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + static_cast<long>(got)), message);

    bed->unplug(id);
    EXPECT_EQ(listener.waitFor(2), (std::vector<std::string>{"attach " + serial, "detach " + serial}));
    EXPECT_TRUE(wd->EnumerateDevices().empty());
    Failure gone = failureOf([&] { wd->Write(serial, message.data(), 100, 100, false, timeoutMs); });
    EXPECT_EQ(gone.code, 0x30003u);
    EXPECT_EQ(gone.text, "Device not found");
}

#ifndef _WIN32
// libusb's hot-plug registrations (Linux) on a default context shared with others.

int LIBUSB_CALL countArrival(libusb_context*, libusb_device*, libusb_hotplug_event event, void* user)
{
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)
        ++*static_cast<std::atomic<int>*>(user);
    return 0;
}

// A host holds libusb's default context across a transport's life, then handles its events
// itself: a board arriving afterwards must reach no callback of the transport that is gone
// (with its registrations left in force, they run on freed memory).
TEST_F(BedTransport, HostHoldingTheDefaultContextOutlivesTheTransport)
{
    testkit::HostLibusb host;
    ASSERT_TRUE(host.usable());
    ASSERT_EQ(host.init(nullptr), 0);
    start();
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>());
    EXPECT_FALSE(serial.empty());
    stop();

    std::atomic<int> arrivals{0};
    libusb_hotplug_callback_handle own = 0;
    ASSERT_EQ(host.registerCallback(nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0, 0x7A3C,
                                    LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                    countArrival, &arrivals, &own),
              0);
    SimDeviceDesc next = SimDeviceDesc::bulk(0x3C17);
    next.portNumbers = {2};
    bed->plug(next, std::make_shared<TestFunction>());
    // The host's callback, registered after the transport's, runs after theirs for the event.
    EXPECT_TRUE(eventually([&] {
        timeval tv{0, 50000};
        host.handleEvents(nullptr, &tv, nullptr);
        return arrivals.load() > 0;
    }));
    host.deregisterCallback(nullptr, own);
    host.exit(nullptr);
}

// Two transports on the one default context; the first one stopped, the second goes on hearing
// of arrivals through its own event thread, which also dispatches whatever the first left.
TEST_F(BedTransport, SecondTransportRunsOnAfterTheFirstStopped)
{
    start();
    {
        transport_test::Listener otherListener;
        TolvaneWdAPI other;
        other.Register(&otherListener);
        SimBed::DeviceId id = 0;
        std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>(), &id);
        ASSERT_FALSE(serial.empty());
        EXPECT_EQ(otherListener.waitFor(1).size(), 1u);
        other.Deinit();
    }
    SimDeviceDesc next = SimDeviceDesc::bulk(0x3C17);
    next.portNumbers = {2};
    auto fn = std::make_shared<TestFunction>();
    fn->echo = true;
    std::string serial = attach(next, fn);
    ASSERT_FALSE(serial.empty());
    Bytes message = pattern(10);
    wd->Write(serial, message.data(), message.size(), message.size(), false, timeoutMs);
    Bytes answer(64);
    size_t got = 0;
    wd->Read(serial, answer.data(), answer.size(), got, timeoutMs);
    EXPECT_EQ(got, message.size());
}
#endif

struct PadCase {
    const char* name;
    uint16_t packetSize;
    size_t length;
    size_t capacity;
    bool pad;
    long sent; // bytes on the bus, -1: refused with "Internal error"
};

class BedPadRule : public BedTransport, public ::testing::WithParamInterface<PadCase> {};

TEST_P(BedPadRule, WritesOneTransferOfTheRightLength)
{
    const PadCase& c = GetParam();
    start();
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(0x3C11, c.packetSize), std::make_shared<TestFunction>(), &id);
    ASSERT_FALSE(serial.empty());

    Bytes buffer = pattern(c.capacity + 1, 9); // one guard byte past the capacity
    Bytes before = buffer;
    Failure f = failureOf([&] { wd->Write(serial, buffer.data(), c.capacity, c.length, c.pad, timeoutMs); });
    if (c.sent < 0) {
        EXPECT_EQ(f.code, 0x30000u);
        EXPECT_EQ(f.text, "Internal error");
        EXPECT_TRUE(bed->transcript(id).empty());
        EXPECT_EQ(buffer, before);
        return;
    }
    ASSERT_FALSE(f.thrown) << f.text;
    Bytes expected(before.begin(), before.begin() + static_cast<long>(c.length));
    if (static_cast<size_t>(c.sent) > c.length)
        expected.push_back(0);
    EXPECT_EQ(bed->transcript(id), (std::vector<SimTransfer>{{SimTransfer::Out, 0x01, expected}}));
    EXPECT_EQ(buffer[c.capacity], before[c.capacity]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BedPadRule,
    ::testing::Values(PadCase{"FullSmallPacketGetsZeroByte", 64, 64, 102400, true, 65},
                      PadCase{"LargePacketsNeverPad", 512, 512, 102400, true, 512},
                      PadCase{"PartialPacketIsNotPadded", 64, 100, 102400, true, 100},
                      PadCase{"TwoFullPacketsPadAtTheEnd", 32, 64, 65, true, 65},
                      PadCase{"NoRoomForThePadByte", 64, 128, 128, true, -1},
                      PadCase{"EmptyMessageIsOneZeroByte", 64, 0, 16, true, 1},
                      PadCase{"EmptyMessageUnpaddedIsZeroLength", 64, 0, 16, false, 0},
                      PadCase{"PadClearSendsAsIs", 64, 64, 64, false, 64},
                      PadCase{"ZeroPacketSizeIsNotDividedBy", 0, 64, 100, true, 64},
                      PadCase{"LengthBeyondTheBufferIsRefused", 512, 200, 100, false, -1}),
    [](const ::testing::TestParamInfo<PadCase>& info) { return std::string(info.param.name); });

TEST_F(BedTransport, ReadsOnePacketWhenAskedForNothingAndShortTransfersSucceed)
{
    start();
    auto fn = std::make_shared<TestFunction>();
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(0x3C11, 512), fn, &id);
    ASSERT_FALSE(serial.empty());

    Bytes message = pattern(600);
    fn->send(message);
    fn->send(pattern(10, 3));
    Bytes rx(16384, 0xEE);
    size_t got = 0;
    wd->Read(serial, rx.data(), 0, got, timeoutMs);
    EXPECT_EQ(got, 512u);
    size_t rest = 0;
    wd->Read(serial, rx.data() + got, message.size() - got, rest, timeoutMs);
    EXPECT_EQ(rest, 88u);
    EXPECT_EQ(Bytes(rx.begin(), rx.begin() + 600), message);
    EXPECT_EQ(rx[600], 0xEE);

    size_t shortCount = 0;
    wd->Read(serial, rx.data(), 100, shortCount, timeoutMs);
    EXPECT_EQ(shortCount, 10u);
    auto t = bed->transcript(id);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].data.size(), 512u);
    EXPECT_EQ(t[1].data.size(), 88u);
    EXPECT_EQ(t[2], (SimTransfer{SimTransfer::In, 0x81, pattern(10, 3)}));
}

TEST_F(BedTransport, ReadTimesOutWithLibusbsCodeAndTheDeviceStaysUsable)
{
    start();
    auto fn = std::make_shared<TestFunction>();
    std::string serial = attach(SimDeviceDesc::bulk(), fn);
    ASSERT_FALSE(serial.empty());

    Bytes rx(512);
    size_t got = 77;
    auto begin = std::chrono::steady_clock::now();
    Failure f = failureOf([&] { wd->Read(serial, rx.data(), rx.size(), got, 200); });
    auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(f.code, status(-7));
    // Sign-extended to the status width: 64 bits on Linux, 32 on Windows.
    EXPECT_EQ(f.code, sizeof(unsigned long) == 8 ? 0xFFFFFFFFFFFFFFF9ull : 0xFFFFFFF9ull);
    EXPECT_EQ(f.text, "LIBUSB_ERROR_TIMEOUT");
    EXPECT_EQ(got, 77u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    EXPECT_TRUE(log.has(severity::error, "libusb_bulk_transfer failed, bytes transferred = 0, error code: fffffff9"));

    fn->send(pattern(5));
    wd->Read(serial, rx.data(), rx.size(), got, timeoutMs);
    EXPECT_EQ(got, 5u);
}

TEST_F(BedTransport, UnplugDuringAReadFailsItAndLaterTransfersFindNoDevice)
{
    start();
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>(), &id);
    ASSERT_FALSE(serial.empty());

    Bytes rx(512);
    auto reading = std::async(std::launch::async, [&] {
        size_t got = 0;
        return failureOf([&] { wd->Read(serial, rx.data(), rx.size(), got, timeoutMs); });
    });
    ASSERT_TRUE(eventually([&] { return log.has(severity::debug, "Calling libusb_bulk_transfer("); }));
    bed->unplug(id);
    Failure f = reading.get();
    EXPECT_EQ(f.code, status(-4));
    EXPECT_EQ(f.text, "LIBUSB_ERROR_NO_DEVICE");

    EXPECT_EQ(listener.waitFor(2).back(), "detach " + serial);
    Failure after = failureOf([&] {
        size_t got = 0;
        wd->Read(serial, rx.data(), rx.size(), got, timeoutMs);
    });
    EXPECT_EQ(after.code, 0x30003u);
}

struct EndpointCase {
    const char* name;
    std::vector<SimInterface> interfaces;
    unsigned claimed; // interface number
    uint8_t out, in;  // endpoints used; 0: no pipe found
};

class BedEndpointSearch : public BedTransport, public ::testing::WithParamInterface<EndpointCase> {};

TEST_P(BedEndpointSearch, UsesTheFirstSettingWithBulkInAndOut)
{
    const EndpointCase& c = GetParam();
    start();
    SimDeviceDesc desc = SimDeviceDesc::bulk();
    desc.interfaces = c.interfaces;
    auto fn = std::make_shared<TestFunction>();
    SimBed::DeviceId id = 0;
    std::string serial = attach(desc, fn, &id);
    ASSERT_FALSE(serial.empty());

    Bytes message = pattern(10);
    Bytes rx(64);
    size_t got = 0;
    for (int pass = 0; pass < 2; ++pass) {
        Failure w = failureOf([&] { wd->Write(serial, message.data(), 64, 10, true, timeoutMs); });
        if (c.out == 0) {
            EXPECT_EQ(w.code, sizeof(unsigned long) == 8 ? 0xFFFFFFFFFFFFFFF7ull : 0xFFFFFFF7ull);
            EXPECT_EQ(w.text, "Unable to find a pipe");
            Failure r = failureOf([&] { wd->Read(serial, rx.data(), rx.size(), got, timeoutMs); });
            EXPECT_EQ(r.code, status(-9));
            continue;
        }
        ASSERT_FALSE(w.thrown) << w.text;
        fn->send(pattern(3));
        wd->Read(serial, rx.data(), rx.size(), got, timeoutMs);
    }
    if (c.out == 0) {
        EXPECT_TRUE(bed->claims(id).empty());
        // Every attempt searched again.
        EXPECT_EQ(log.find(severity::warning, "Alternate setting had not been found").size(), 4u);
        EXPECT_EQ(log.find(severity::error, "Caught an exception: Unable to find a pipe").size(), 4u);
        return;
    }
    EXPECT_EQ(bed->claims(id), std::vector<unsigned>{c.claimed}); // once, then cached
    EXPECT_EQ(log.find(severity::debug, "Found device IO configuration").size(), 3u);
    auto t = bed->transcript(id);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0], (SimTransfer{SimTransfer::Out, c.out, message}));
    EXPECT_EQ(t[1], (SimTransfer{SimTransfer::In, c.in, pattern(3)}));
}

SimEndpoint bulkIn(uint8_t a) { return SimEndpoint{a, 2, 512}; }
SimEndpoint bulkOut(uint8_t a) { return SimEndpoint{a, 2, 512}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, BedEndpointSearch,
    ::testing::Values(
        EndpointCase{"SecondAltSettingOfInterfaceZero",
                     {SimInterface{0, {SimAltSetting{{bulkIn(0x81)}},
                                       SimAltSetting{{bulkIn(0x82), bulkOut(0x02)}}}}},
                     0, 0x02, 0x82},
        EndpointCase{"FirstOfTwoBulkIn",
                     {SimInterface{0, {SimAltSetting{{bulkIn(0x83), bulkIn(0x81), bulkOut(0x01)}}}}},
                     0, 0x01, 0x83},
        EndpointCase{"InterruptAndIsochronousAreSkipped",
                     {SimInterface{0, {SimAltSetting{{SimEndpoint{0x81, 3, 64}, bulkOut(0x01)}}}},
                      SimInterface{1, {SimAltSetting{{SimEndpoint{0x82, 1, 512}, bulkOut(0x03),
                                                      SimEndpoint{0x04, 3, 64}, bulkIn(0x85)}}}}},
                     1, 0x03, 0x85},
        EndpointCase{"NoSuitableSetting",
                     {SimInterface{0, {SimAltSetting{{bulkIn(0x81)}}}},
                      SimInterface{1, {SimAltSetting{{SimEndpoint{0x02, 3, 64}, bulkIn(0x83)}},
                                       SimAltSetting{}}}},
                     0, 0, 0}),
    [](const ::testing::TestParamInfo<EndpointCase>& info) { return std::string(info.param.name); });

} // namespace
