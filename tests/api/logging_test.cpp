// The log file: off until enabled, truncated when enabled, the two record formats, and silence
// after disabling.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include <boost/log/attributes/constant.hpp>
#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/sources/record_ostream.hpp>

#include "log_attributes.h"
#include "scratch_dir.h"
#include "vemoapi.h"

namespace {

// The log is a text file: read as one, its lines end in a plain line feed on every platform.
std::string logText(const std::string& file)
{
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Records as the library's own subsystems make them: a job's with the connection's serial text,
// a transport function's with its named scope and no serial.
void jobRecord(const std::string& serial, const std::string& text)
{
    xollog::logger lg;
    lg.add_attribute("serial_number", boost::log::attributes::constant<std::string>(serial));
    BOOST_LOG_SEV(lg, xollog::severity::info) << text;
}

void transportRecord(const std::string& text)
{
    BOOST_LOG_NAMED_SCOPE("TolvaneWdAPI::Read");
    xollog::channel_logger lg(boost::log::keywords::channel = "WD");
    BOOST_LOG_SEV(lg, xollog::severity::debug) << text;
}

class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        api = api_acquire();
        ASSERT_NE(api, nullptr);
    }
    void TearDown() override
    {
        if (api)
            api_release();
    }
    void release()
    {
        api_release();
        api = nullptr;
    }
    ScratchDir dir;
    IVemoAPI* api = nullptr;
};

TEST_F(LoggingTest, NothingIsWrittenUntilEnabled)
{
    jobRecord("7", "before enabling");
    release();
    EXPECT_FALSE(std::filesystem::exists("debug.log"));
}

TEST_F(LoggingTest, EnablingTruncatesDebugLogAndWritesBothFormats)
{
    ScratchDir::write("debug.log", "stale content from an earlier run\n");
    api->setlogging(true, "");
    jobRecord("140213", "Starting job");
    transportRecord("Read 20 bytes");
    api->setlogging(false, "");
    jobRecord("140213", "after disabling");
    release(); // flushes and closes the stream

    const std::string log = logText("debug.log");
    EXPECT_EQ(log.find("stale"), std::string::npos);
    EXPECT_EQ(log.find("after disabling"), std::string::npos);
    const std::regex expected("\\[TID: [^\\]]+\\] \\[SN: 140213\\] Starting job\n"
                              "\\[TID: [^\\]]+\\] Read 20 bytes \\(TolvaneWdAPI::Read[^)]*\\)\n");
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

TEST_F(LoggingTest, ScopesAreJoinedOutermostFirst)
{
    api->setlogging(true, dir.path("scopes.log"));
    {
        BOOST_LOG_NAMED_SCOPE("outer");
        BOOST_LOG_NAMED_SCOPE("inner");
        xollog::channel_logger lg(boost::log::keywords::channel = "WD");
        BOOST_LOG_SEV(lg, xollog::severity::trace) << "nested";
    }
    {
        xollog::channel_logger lg(boost::log::keywords::channel = "WD");
        BOOST_LOG_SEV(lg, xollog::severity::trace) << "bare";
    }
    api->setlogging(false, "");
    release();
    const std::string log = logText(dir.path("scopes.log"));
    EXPECT_TRUE(std::regex_search(log, std::regex("\\] nested \\(outer->inner\\)\n"))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\\] bare \\(\\)\n"))) << log;
}

TEST_F(LoggingTest, EveryEnablingAddsAStream)
{
    api->setlogging(true, dir.path("first.log"));
    jobRecord("1", "one");
    api->setlogging(true, dir.path("second.log"));
    jobRecord("1", "two");
    api->setlogging(true, dir.path("no/such/folder/x.log")); // accepted and silently discards
    jobRecord("1", "three");
    api->setlogging(false, "");
    release();
    const std::string first = logText(dir.path("first.log"));
    const std::string second = logText(dir.path("second.log"));
    EXPECT_NE(first.find("one"), std::string::npos);
    EXPECT_NE(first.find("two"), std::string::npos);
    EXPECT_NE(first.find("three"), std::string::npos);
    EXPECT_EQ(second.find("one"), std::string::npos);
    EXPECT_NE(second.find("three"), std::string::npos);
}

// A stream still open on the file would go on writing at its old offset once the file is
// truncated, leaving the head of the new log to NUL bytes and the earlier records behind them.
TEST_F(LoggingTest, EnablingAgainWithTheSamePathStartsACleanFile)
{
    const std::string file = dir.path("again.log");
    for (const std::string& again : {file, std::string("again.log"), std::string("./again.log")}) {
        SCOPED_TRACE(again);
        if (api == nullptr)
            api = api_acquire();
        ASSERT_NE(api, nullptr);
        api->setlogging(true, file);
        // More than a stream buffer holds, so that the first stream has written part of it.
        for (int i = 0; i < 400; ++i)
            jobRecord("5", "before enabling again, record " + std::to_string(i));
        api->setlogging(true, again);
        jobRecord("5", "after enabling again");
        api->setlogging(false, "");
        release(); // flushes and closes the streams
        const std::string log = logText(file);
        EXPECT_EQ(log.find('\0'), std::string::npos);
        EXPECT_EQ(log.find("before enabling again"), std::string::npos);
        EXPECT_TRUE(std::regex_match(log, std::regex("\\[TID: [^\\]]+\\] \\[SN: 5\\] after "
                                                     "enabling again\n")))
            << log.substr(0, 200);
    }
}

} // namespace
