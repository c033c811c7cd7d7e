// Transfers over the stand-in: every libusb failure reaches the caller with libusb's code and
// text, a failed claim or descriptor read caches nothing, and a departure never closes a handle
// a transfer is using.
#include <future>
#include <thread>

#include "standin_control.h"
#include "test_function.h"
#include "tolvane_wd.h"
#include "transport_fixture.h"

using namespace transport_test;
using Bytes = std::vector<uint8_t>;

namespace {

using StandinIo = TransportFixture<TolvaneWdAPI::TolvaneWd>;

TEST_F(StandinIo, TransferErrorsCarryLibusbsCodeAndText)
{
    const std::vector<std::pair<int, std::string>> errors = {
        {-1, "LIBUSB_ERROR_IO"},       {-2, "LIBUSB_ERROR_INVALID_PARAM"},
        {-3, "LIBUSB_ERROR_ACCESS"},   {-4, "LIBUSB_ERROR_NO_DEVICE"},
        {-5, "LIBUSB_ERROR_NOT_FOUND"}, {-6, "LIBUSB_ERROR_BUSY"},
        {-7, "LIBUSB_ERROR_TIMEOUT"},  {-8, "LIBUSB_ERROR_OVERFLOW"},
        {-9, "LIBUSB_ERROR_PIPE"},     {-10, "LIBUSB_ERROR_INTERRUPTED"},
        {-11, "LIBUSB_ERROR_NO_MEM"},  {-12, "LIBUSB_ERROR_NOT_SUPPORTED"}};
    start();
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>(), &id);
    ASSERT_FALSE(serial.empty());
    uint8_t buffer[64] = {};
    for (const auto& error : errors) {
        SCOPED_TRACE(error.second);
        standin::failNextTransfer(id, error.first, 3);
        Failure w = failureOf([&] { wd->Write(serial, buffer, sizeof buffer, 10, false, 1000); });
        EXPECT_EQ(w.code, status(error.first));
        EXPECT_EQ(w.text, error.second);
        EXPECT_TRUE(log.has(severity::error, "libusb_bulk_transfer failed, error code: " + tolvane::hexText(error.first)));

        standin::failNextTransfer(id, error.first, 3);
        size_t transferred = 99;
        Failure r = failureOf([&] { wd->Read(serial, buffer, sizeof buffer, transferred, 1000); });
        EXPECT_EQ(r.code, status(error.first));
        EXPECT_EQ(r.text, error.second);
        EXPECT_EQ(transferred, 99u);
        EXPECT_TRUE(log.has(severity::error, "libusb_bulk_transfer failed, bytes transferred = 3, error code: " +
                                                  tolvane::hexText(error.first)));
    }
    EXPECT_TRUE(bed->transcript(id).empty());
    EXPECT_EQ(wd->EnumerateDevices(), std::list<std::string>{serial}); // the device stays
}

struct ConfigureFailure {
    const char* name;
    standin::DeviceFaults faults;
    int result;
    const char* text;
    const char* record; // the failing call's own error record
};

class StandinConfigureFailure : public StandinIo, public ::testing::WithParamInterface<ConfigureFailure> {};

TEST_P(StandinConfigureFailure, FailsTheTransferAndCachesNothing)
{
    const ConfigureFailure& c = GetParam();
    start();
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>(), &id);
    standin::setDeviceFaults(id, c.faults);
    uint8_t buffer[64] = {};
    Failure f = failureOf([&] { wd->Write(serial, buffer, sizeof buffer, 8, true, 1000); });
    EXPECT_EQ(f.code, status(c.result));
    EXPECT_EQ(f.text, c.text);
    EXPECT_TRUE(log.has(severity::error, c.record));
    EXPECT_TRUE(log.has(severity::error, std::string("Caught an exception: ") + c.text));
    EXPECT_EQ(standin::configsOutstanding(), 0);
    EXPECT_TRUE(bed->claims(id).empty());

    // Nothing was cached: the next transfer searches and claims afresh.
    standin::setDeviceFaults(id, standin::DeviceFaults());
    wd->Write(serial, buffer, sizeof buffer, 8, true, 1000);
    EXPECT_EQ(bed->claims(id), std::vector<unsigned>{0});
    EXPECT_EQ(standin::configsOutstanding(), 0);
    EXPECT_EQ(bed->transcript(id).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StandinConfigureFailure,
    ::testing::Values(ConfigureFailure{"ClaimFails",
                                       with<standin::DeviceFaults>([](auto& f) { f.claimResult = -6; }), -6, "LIBUSB_ERROR_BUSY",
                                       "libusb_claim_interface failed, error code: fffffffa"},
                      ConfigureFailure{"ConfigDescriptorFails",
                                       with<standin::DeviceFaults>([](auto& f) { f.configResult = -1; }), -1, "LIBUSB_ERROR_IO",
                                       "libusb_get_active_config_descriptor failed, error code: ffffffff"}),
    [](const ::testing::TestParamInfo<ConfigureFailure>& info) { return std::string(info.param.name); });

TEST_F(StandinIo, OnePacketReadNeverAsksMoreThanThePacketSizeField)
{
    start();
    SimDeviceDesc desc = SimDeviceDesc::bulk();
    desc.interfaces[0].altSettings[0].endpoints[0].maxPacketSize = 0xFFFF;
    auto fn = std::make_shared<TestFunction>();
    std::string serial = attach(desc, fn);
    fn->send(Bytes(20000, 0x11));
    Bytes rx(16384, 0);
    size_t got = 0;
    wd->Read(serial, rx.data(), 0, got, 1000);
    EXPECT_EQ(got, 0x7FFu);
}

// The pad rule reads the packet size from the same bits as a read does: a full-speed board that
// sets the field's high bits still gets the zero byte behind a message of whole 64-byte packets.
TEST_F(StandinIo, PadRuleGoesByThePacketSizeBitsOfTheField)
{
    start();
    SimDeviceDesc desc = SimDeviceDesc::bulk();
    desc.interfaces[0].altSettings[0].endpoints[1].maxPacketSize = 0x1840;
    SimBed::DeviceId id = 0;
    std::string serial = attach(desc, std::make_shared<TestFunction>(), &id);
    Bytes message(65, 0x5A);
    wd->Write(serial, message.data(), message.size(), 64, true, 1000);
    const std::vector<SimTransfer> sent = bed->transcript(id);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data.size(), 65u);
    EXPECT_EQ(sent[0].data.back(), 0);
}

// Holds every OUT transfer inside the device until released.
class HoldingFunction : public SimFunction {
public:
    void onBulkOut(const Bytes&) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return released; });
    }
    bool waitEntered()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, waitLimit, [&] { return entered; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        cv.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;
};

size_t closes(const std::string& handle)
{
    auto calls = standin::calls();
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), "libusb_close(" + handle + ")"));
}

TEST_F(StandinIo, DepartureDuringATransferLeavesTheCloseToTheTransfer)
{
    start();
    auto fn = std::make_shared<HoldingFunction>();
    SimBed::DeviceId id = 0;
    std::string serial = attach(SimDeviceDesc::bulk(), fn, &id);
    uint8_t buffer[16] = {};
    auto writing = std::async(std::launch::async, [&] {
        return failureOf([&] { wd->Write(serial, buffer, sizeof buffer, 4, false, 5000); });
    });
    ASSERT_TRUE(fn->waitEntered());
    bed->unplug(id);
    EXPECT_EQ(listener.waitFor(2).back(), "detach " + serial);
    EXPECT_EQ(closes("dev1#1"), 0u); // still in use
    fn->release();
    writing.get();
    EXPECT_EQ(closes("dev1#1"), 1u);
    EXPECT_EQ(standin::closedHandleUses(), 0);
}

TEST_F(StandinIo, DepartureRacingAStreamOfTransfersNeverUsesAClosedHandle)
{
    start();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        auto fn = std::make_shared<TestFunction>();
        fn->echo = true;
        SimBed::DeviceId id = 0;
        std::string serial = attach(SimDeviceDesc::bulk(0x3C11, 64), fn, &id);
        ASSERT_FALSE(serial.empty());
        std::atomic<int> roundTrips{0};
        auto stream = std::async(std::launch::async, [&] {
            uint8_t tx[65] = {1, 2, 3};
            uint8_t rx[512];
            for (;;) {
                Failure f = failureOf([&] {
                    size_t got = 0;
                    wd->Write(serial, tx, sizeof tx, 64, true, 1000);
                    wd->Read(serial, rx, sizeof rx, got, 1000);
                });
                if (f.thrown)
                    return f;
                ++roundTrips;
            }
        });
        ASSERT_TRUE(eventually([&] { return roundTrips > round; }));
        bed->unplug(id);
        Failure end = stream.get();
        EXPECT_TRUE(end.code == 0x30003u || end.code == status(-4)) << end.code << " " << end.text;
        EXPECT_EQ(listener.waitFor(2 * (round + 1)).back(), "detach " + serial);
        EXPECT_EQ(closes("dev" + std::to_string(id) + "#1"), 1u);
    }
    EXPECT_EQ(standin::closedHandleUses(), 0);
}

} // namespace
