// The per-call sink: only its connection's records made on the installing thread, only while
// installed, only while logging is on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <boost/log/attributes/constant.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sources/record_ostream.hpp>

#include "log_attributes.h"
#include "zub_logger.h"

namespace {

struct Seen {
    std::vector<std::string> texts;
    std::vector<unsigned long> firsts;
};

void collect(unsigned long first, const char* text, void* context)
{
    auto* seen = static_cast<Seen*>(context);
    seen->firsts.push_back(first);
    seen->texts.emplace_back(text);
}

// A protocol record of the connection of identity `connection`, at serial text `serial`.
void deviceRecord(uint64_t connection, const std::string& text, const std::string& serial = "42")
{
    xollog::channel_logger lg(boost::log::keywords::channel = "XOL");
    lg.add_attribute("serial_number", boost::log::attributes::constant<std::string>(serial));
    lg.add_attribute("connection", boost::log::attributes::constant<uint64_t>(connection));
    BOOST_LOG_SEV(lg, xollog::severity::debug) << text;
}

void transportRecord(const std::string& text)
{
    xollog::channel_logger lg(boost::log::keywords::channel = "WD");
    BOOST_LOG_SEV(lg, xollog::severity::debug) << text;
}

class ZubLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { boost::log::core::get()->set_logging_enabled(true); }
    void TearDown() override { boost::log::core::get()->set_logging_enabled(false); }
};

TEST_F(ZubLoggerTest, DeliversOnlyItsConnectionsMessagesOnItsThread)
{
    Seen seen;
    {
        ZubLogger sink;
        deviceRecord(7, "before install");
        sink.sinkInstall(7, collect, &seen);
        deviceRecord(7, "TX: Start Over");
        deviceRecord(8, "a later board at the same serial text");
        deviceRecord(70, "another device", "420");
        transportRecord("no connection at all");
        // The same connection's record made on another thread (an identification running
        // there) is not the caller's.
        std::thread([] { deviceRecord(7, "on the notification thread"); }).join();
        deviceRecord(7, "RX: response");
    }
    deviceRecord(7, "after destruction");
    EXPECT_EQ(seen.texts, (std::vector<std::string>{"TX: Start Over", "RX: response"}));
    EXPECT_EQ(seen.firsts, (std::vector<unsigned long>{0, 0}));
}

TEST_F(ZubLoggerTest, SilentWhileLoggingIsOff)
{
    Seen seen;
    ZubLogger sink;
    sink.sinkInstall(9, collect, &seen);
    boost::log::core::get()->set_logging_enabled(false);
    deviceRecord(9, "muted");
    boost::log::core::get()->set_logging_enabled(true);
    deviceRecord(9, "heard");
    EXPECT_EQ(seen.texts, std::vector<std::string>{"heard"});
}

TEST_F(ZubLoggerTest, NullCallbackAndUninstalledSinkAreHarmless)
{
    {
        ZubLogger sink;
        sink.sinkInstall(5, nullptr, nullptr);
        deviceRecord(5, "nobody listens");
    }
    {
        ZubLogger neverInstalled;
    }
    SUCCEED();
}

TEST_F(ZubLoggerTest, ConcurrentOperationsSeeOnlyTheirOwnDevice)
{
    Seen a, b;
    std::atomic<bool> go{false};
    auto run = [&go](uint64_t connection, Seen* seen) {
        ZubLogger sink;
        sink.sinkInstall(connection, collect, seen);
        while (!go)
            std::this_thread::yield();
        for (int i = 0; i < 200; ++i)
            deviceRecord(connection, std::to_string(connection) + ":" + std::to_string(i));
    };
    std::thread ta(run, 100, &a);
    std::thread tb(run, 200, &b);
    go = true;
    ta.join();
    tb.join();
    ASSERT_EQ(a.texts.size(), 200u);
    ASSERT_EQ(b.texts.size(), 200u);
    for (const std::string& t : a.texts)
        EXPECT_EQ(t.rfind("100:", 0), 0u) << t;
    for (const std::string& t : b.texts)
        EXPECT_EQ(t.rfind("200:", 0), 0u) << t;
}

} // namespace
