#include "protocol_fixture.h"

#include <chrono>
#include <cstdlib>
#include <string>

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

#include "tolvane_wd_callback.h"

namespace prototest {

namespace {
class NullBackend : public boost::log::sinks::basic_sink_backend<boost::log::sinks::concurrent_feeding> {
public:
    void consume(const boost::log::record_view&) {}
};
} // namespace

xolsim::XolDeviceState standardBoard()
{
    xolsim::XolDeviceState s;
    s.context = 1;
    s.currentOperation = 5;
    s.tokens[3] = pattern(100, 3);
    // SPI flash, eMMC and UFS, index 0 each; boot media of 64 blocks of 512 bytes.
    for (uint8_t type = 1; type <= 3; ++type) {
        xolsim::StorageDevice& dev = s.device(type, 0);
        dev.cardInfo = pattern(type == 2 ? 548 : 212, type);
        dev.media[0] = pattern(64 * 512, static_cast<uint8_t>(0x40 + type));
        dev.blockSize = 512;
        dev.maxChunk = 16;
    }
    return s;
}

class SharedBed::Listener : public ITolvaneWdAPICallbackObj {
public:
    void attach(std::string serial) override { tell("attach " + serial); }
    void detach(std::string serial) override { tell("detach " + serial); }

    // The serial text of the next attach; empty when none came in time.
    std::string nextAttach()
    {
        std::string event = next();
        return event.rfind("attach ", 0) == 0 ? event.substr(7) : std::string();
    }
    bool detached(const std::string& serial) { return next() == "detach " + serial; }

private:
    void tell(std::string event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(event));
        cv.notify_all();
    }
    std::string next()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return !events.empty(); }))
            return std::string();
        std::string event = events.front();
        events.erase(events.begin());
        return event;
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> events;
};

namespace {

// Stops the shared transport after the last test, while the test program still runs.
class SharedBedStop : public ::testing::Environment {
public:
    void TearDown() override { SharedBed::get().stop(); }
};
const auto* sharedBedStop = ::testing::AddGlobalTestEnvironment(new SharedBedStop);

} // namespace

SharedBed::SharedBed() : simBed(makeSimBed()), listener(std::make_unique<Listener>())
{
    // The logging core gets a sink that takes nothing, so records are neither built nor printed
    // unless a test captures them.
    static auto quiet = [] {
        auto sink = boost::make_shared<boost::log::sinks::synchronous_sink<NullBackend>>();
        sink->set_filter([](const boost::log::attribute_value_set&) { return false; });
        boost::log::core::get()->add_sink(sink);
        return sink;
    }();
    (void)quiet;
    wd = std::make_unique<TolvaneWdAPI>();
    wd->Register(listener.get());
}

SharedBed& SharedBed::get()
{
    static SharedBed shared;
    return shared;
}

bool SharedBed::plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function,
                     SimBed::DeviceId& id, std::string& serial)
{
    id = simBed->plug(desc, std::move(function));
    serial = listener->nextAttach();
    return !serial.empty();
}

bool SharedBed::unplug(SimBed::DeviceId id, const std::string& serial)
{
    simBed->unplug(id);
    return listener->detached(serial);
}

void SharedBed::stop()
{
    if (wd) {
        wd->Deinit();
        wd.reset();
    }
    simBed.reset();
}

void ProtocolTest::SetUp()
{
    device = std::make_shared<xolsim::XolDevice>(standardBoard());
    relay = std::make_shared<Relay>(device);
    SharedBed& shared = SharedBed::get();
    // Boards spread over buses: device numbers on one bus are never reused and stay below 256.
    static unsigned boards = 0;
    SimDeviceDesc desc = SimDeviceDesc::bulk(0x3C11, packetSize());
    desc.busNumber = static_cast<uint8_t>(1 + boards++ % 32);
    plugged = shared.plug(desc, relay, id, serial);
    ASSERT_TRUE(plugged) << "the transport did not open the board";
    transport = &shared.transport();
    api = std::make_unique<XolAPI>(transport, serial);
}

void ProtocolTest::TearDown()
{
    api.reset();
    if (plugged) {
        EXPECT_TRUE(SharedBed::get().unplug(id, serial)) << "the transport did not close the board";
    }
    if (device) {
        device->inspect([](const xolsim::XolDeviceState& s) {
            for (const std::string& e : s.hostErrors)
                ADD_FAILURE() << "the board refused a host message: " << e;
            return 0;
        });
    }
}

uint16_t ProtocolTest::packetSize() const
{
    const char* size = std::getenv("XOL_TEST_PACKET_SIZE");
    return size ? static_cast<uint16_t>(std::stoi(size)) : 512;
}

std::vector<Bytes> ProtocolTest::side(SimTransfer::Direction direction) const
{
    std::vector<Bytes> v;
    for (const SimTransfer& t : transfers())
        if (t.direction == direction)
            v.push_back(t.data);
    return v;
}

std::vector<Bytes> ProtocolTest::outs() const
{
    std::vector<Bytes> messages = outTransfers();
    const size_t packet = packetSize();
    for (Bytes& m : messages) {
        const bool padded = packet <= 64 && m.size() > 16 && (m.size() - 1) % packet == 0 &&
                            m[3] == 16 && hostMarker(m) == 0x00 && le(m, 0, 3) == m.size() - 1 &&
                            m.back() == 0;
        if (padded)
            m.pop_back();
    }
    return messages;
}

std::vector<Bytes> ProtocolTest::deviceMessages() const
{
    // What the message in hand still lacks: the rest of its header, then the rest of its length.
    auto lacking = [](const Bytes& m) -> size_t {
        if (m.size() < 20)
            return 20 - m.size();
        const size_t expected = le(m, 8, 3) == 0x800003 ? 20 : le(m, 0, 3);
        return expected > m.size() ? expected - m.size() : 0;
    };
    std::vector<Bytes> messages;
    for (const Bytes& t : ins()) {
        if (!messages.empty() && lacking(messages.back()) > 0)
            messages.back().insert(messages.back().end(), t.begin(), t.end());
        else
            messages.push_back(t);
    }
    return messages;
}

std::vector<uint32_t> ProtocolTest::chunkRequests() const
{
    std::vector<uint32_t> asked;
    for (const Bytes& m : outs())
        if (m.size() >= 16 && m[3] == 16 && hostMarker(m) == 0xA5)
            asked.push_back(hostAdditional(m));
    return asked;
}

} // namespace prototest
