// The progress callback: the job's and the protocol's records of the operation's own device, in
// the order they were made, only during the call, and nothing while logging is off.
#include <algorithm>

#include "ops_host.h"

namespace ops {
namespace {

using Texts = std::vector<std::string>;

class ProgressTest : public HostTest {
protected:
    unsigned long readToken(const Board& b, Progress* progress, _error_msg_t* msg)
    {
        char buffer[256];
        size_t length = sizeof buffer;
        return api->readtoken(recovery, buffer, &length, 3, b.ident.c_str(), msg,
                              progress ? Progress::callback : nullptr, progress);
    }

    // Position of the first text equal to `text` at or after `from`; the end when none.
    static size_t find(const Texts& all, const std::string& text, size_t from = 0)
    {
        return static_cast<size_t>(
            std::find(all.begin() + static_cast<long>(std::min(from, all.size())), all.end(),
                      text) -
            all.begin());
    }
};

TEST_F(ProgressTest, JobAndProtocolRecordsOfTheCallInOrder)
{
    Board& b = plug(boardState(1));
    Progress progress;
    _error_msg_t msg{};
    ASSERT_EQ(readToken(b, &progress, &msg), 0u) << msg.text;
    EXPECT_TRUE(progress.firstArgumentAlwaysZero());
    EXPECT_EQ(progress.jobRecords(),
              concat({{"Read token operation started"},
                      queryRecords(1),
                      negotiationRecords(),
                      {"Sending \"Read Token\" XoL command", "Success",
                       "Read token operation had been accomplished succesfully"}}));

    // The protocol's traces of each command come between the job's records around it.
    const Texts all = progress.all();
    const size_t query = find(all, "Resetting XoL protocol");
    const size_t queried = find(all, "Success", query);
    const size_t startOver = find(all, "TX: Command: 13", query);
    EXPECT_LT(startOver, queried);
    EXPECT_LT(find(all, "RX: Command: 800013", startOver), queried);
    const size_t send = find(all, "Sending \"Read Token\" XoL command");
    const size_t sent = find(all, "Success", send);
    EXPECT_LT(find(all, "TX: Command: 22", send), sent);
    EXPECT_LT(find(all, "RX: Command: 800022", send), sent);
    EXPECT_LT(sent, all.size());

    // Nothing reaches it once the call has returned.
    ASSERT_EQ(readToken(b, nullptr, nullptr), 0u);
    EXPECT_EQ(progress.all(), all);
}

TEST_F(ProgressTest, LoggingOffSilencesTheCallback)
{
    Board& b = plug(boardState(1));
    Progress progress;
    _error_msg_t msg{};
    api->setlogging(false, "");
    const unsigned long status = readToken(b, &progress, &msg);
    api->setlogging(true, host.tmp + "/debug_again.log");
    EXPECT_EQ(status, 0u) << msg.text;
    EXPECT_TRUE(progress.all().empty());

    ASSERT_EQ(readToken(b, &progress, &msg), 0u) << msg.text;
    EXPECT_FALSE(progress.jobRecords().empty()) << "logging on again";
}

TEST_F(ProgressTest, WithoutCallbackOrMessageRecordTheOperationRunsTheSame)
{
    Board& b = plug(boardState(0));
    const size_t from = b.mark();
    EXPECT_EQ(readToken(b, nullptr, nullptr), 0u);
    EXPECT_EQ(b.codesSince(from).back(), kReadToken);
    EXPECT_EQ(readToken(b, nullptr, nullptr), 0u);

    // A failure still reports its status.
    b.dev->edit([](XolDeviceState& s) { return s.tokens.erase(3); });
    EXPECT_EQ(readToken(b, nullptr, nullptr), 0x80000037u);
}

} // namespace
} // namespace ops
