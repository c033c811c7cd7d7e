// What an exchange that ended early leaves on the IN endpoint: after a time-out or a framing
// error the next command of the connection first drains it, in a protocol object of its own as
// jobs build them; after a healthy exchange or a firmware status nothing is read but the
// command's own messages.
#include "operations.h"
#include "protocol_fixture.h"

using namespace prototest;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::XolDeviceState;

namespace {

using StaleInput = ProtocolTest;

// Index of the first host transfer after transfer `from`.
size_t nextOut(const std::vector<SimTransfer>& all, size_t from)
{
    size_t i = from;
    while (i < all.size() && all[i].direction != SimTransfer::Out)
        ++i;
    return i;
}

TEST_F(StaleInput, LateAnswerIsDrainedBeforeTheNextCommand)
{
    // Erase Token's answer is held back until the host has given up on it.
    Bytes late;
    relay->setRewrite([&](const Bytes& m) {
        late = m;
        return std::vector<Bytes>();
    });
    api->set_timeout(200);
    EXPECT_EQ(failureOf([&] { api->EraseToken(3); }),
              vemo(static_cast<unsigned long>(-7L), "LIBUSB_ERROR_TIMEOUT"));
    relay->setRewrite(nullptr);
    ASSERT_FALSE(late.empty());
    relay->deliver(late);

    XolAPI next(transport, serial);
    auto response = next.StartOver(0);
    EXPECT_EQ(response->getCurrentCtx(), 1u);
    // The late answer was read before Start Over went out, Start Over's answer after.
    const std::vector<SimTransfer> all = transfers();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[1].direction, SimTransfer::In);
    EXPECT_EQ(all[1].data, late);
    EXPECT_EQ(all[2].direction, SimTransfer::Out);
}

// Framing errors that leave the rest of a message behind.
struct LeftoverCase {
    const char* name;
    uint8_t code;
    Fault fault;
    Failure failure;
};
std::ostream& operator<<(std::ostream& os, const LeftoverCase& c) { return os << c.name; }

class Leftover : public ProtocolTest, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(Leftover, IsDrainedBeforeTheNextCommand)
{
    const LeftoverCase c = GetParam();
    inject(c.fault);
    EXPECT_EQ(failureOf([&] { operation(c.code).run(*api); }), c.failure);
    const size_t before = transfers().size();

    XolAPI next(transport, serial);
    EXPECT_EQ(failureOf([&] { next.StartOver(0); }), Failure());
    const std::vector<SimTransfer> all = transfers();
    // Something was read before Start Over went out, and Start Over got one answer.
    const size_t startOver = nextOut(all, before);
    ASSERT_LT(startOver, all.size());
    EXPECT_GT(startOver, before);
    EXPECT_EQ(all.size(), startOver + 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Leftover,
    ::testing::Values(
        // Refused after its first packet: 15,888 bytes stay behind.
        LeftoverCase{"FinalResponseLargerThanTheBuffer", 0x24,
                     faultOn(0x24, Reply::Final, [](Fault& f) { f.size = 16400; }),
                     vemo(0x20003, "Unexpected message data size")},
        // A token chunk of 16,385 bytes, one more than the receive buffer holds.
        LeftoverCase{"ChunkLargerThanTheBuffer", 0x22,
                     faultOn(0x22, Reply::Chunk,
                             [](Fault& f) {
                                 f.size = 16385;
                                 f.keepExchange = true;
                             }),
                     vemo(0x20003, "Unexpected message data size")}),
    [](const auto& info) { return info.param.name; });

// After these exchanges the board sends one more message of its own (a heartbeat of Start
// Over); the next command reads it as the first answer to its initial command: nothing drained.
class NoDrain : public ProtocolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NoDrain, AfterAHealthyExchangeOrAFirmwareStatus)
{
    const bool firmwareStatus = GetParam();
    if (firmwareStatus)
        board([](XolDeviceState& s) { s.tokens.clear(); });
    const Failure f = failureOf([&] { api->EraseToken(3); });
    EXPECT_EQ(f.code, firmwareStatus ? 0x80000037ul : 0ul);
    const size_t before = transfers().size();
    relay->deliver(hex("14 00 00 14 00 00 00 00 13 00 80 87 00 00 00 00 00 00 00 00"));

    XolAPI next(transport, serial);
    EXPECT_EQ(failureOf([&] { next.StartOver(0); }), Failure());
    const std::vector<SimTransfer> all = transfers();
    ASSERT_EQ(all.size(), before + 3);
    EXPECT_EQ(all[before].direction, SimTransfer::Out);
    EXPECT_EQ(all[before + 1].data[11], 0x87);
}

INSTANTIATE_TEST_SUITE_P(Cases, NoDrain, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "FirmwareStatus" : "Healthy"; });

} // namespace
