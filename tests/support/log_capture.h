// A capture of the library's log records, for tests that check what was logged.
#ifndef XOL_TEST_SUPPORT_LOG_CAPTURE_H
#define XOL_TEST_SUPPORT_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/shared_ptr.hpp>

namespace testkit {

using severity = boost::log::trivial::severity_level;

struct LogRecord {
    severity level;
    std::string channel;
    std::string serial; // the record's device serial number, if it has one
    std::string message;
    std::string scopes; // names of the open named scopes, outermost first, ';'-separated
};

// Keeps every record of the logging core while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    // The records of one channel, in order.
    std::vector<LogRecord> records(const std::string& channel) const;

private:
    class Backend;
    using Sink = boost::log::sinks::synchronous_sink<Backend>;
    mutable std::mutex mutex;
    std::vector<LogRecord> kept;
    boost::shared_ptr<Sink> sink;
};

} // namespace testkit

#endif
