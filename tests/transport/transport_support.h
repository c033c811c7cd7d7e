// Helpers of the transport tests: a capture of the transport's log records, a listener that
// records what it is told, bounded waits and the failure a call raised.
#ifndef XOL_TEST_TRANSPORT_SUPPORT_H
#define XOL_TEST_TRANSPORT_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>

#include "exceptions.h"
#include "tolvane_wd_callback.h"

namespace transport_test {

using severity = boost::log::trivial::severity_level;
constexpr auto waitLimit = std::chrono::seconds(10);

struct LogRecord {
    severity level;
    std::string channel;
    std::string message;
    std::string scopes; // names of the open named scopes, outermost first
};

// Keeps every record of the core while it lives.
class LogCapture {
public:
    LogCapture()
    {
        auto core = boost::log::core::get();
        core->add_global_attribute("Scopes", boost::log::attributes::named_scope());
        sink = boost::make_shared<Sink>(boost::make_shared<Backend>(this));
        core->add_sink(sink);
    }
    ~LogCapture() { boost::log::core::get()->remove_sink(sink); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return kept;
    }
    // Records of channel "WD" at that level whose text begins with `prefix`.
    std::vector<LogRecord> find(severity level, const std::string& prefix) const
    {
        std::vector<LogRecord> found;
        for (const LogRecord& r : records())
            if (r.channel == "WD" && r.level == level && r.message.compare(0, prefix.size(), prefix) == 0)
                found.push_back(r);
        return found;
    }
    bool has(severity level, const std::string& prefix) const { return !find(level, prefix).empty(); }

private:
    class Backend : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
    public:
        explicit Backend(LogCapture* owner) : owner(owner) {}
        void consume(const boost::log::record_view& rec)
        {
            LogRecord r;
            r.level = boost::log::extract_or_default<severity>("Severity", rec, severity::info);
            r.channel = boost::log::extract_or_default<std::string>("Channel", rec, std::string());
            r.message = boost::log::extract_or_default<std::string>("Message", rec, std::string());
            if (auto scopes = boost::log::extract<boost::log::attributes::named_scope_list>("Scopes", rec))
                for (const auto& scope : scopes.get())
                    r.scopes += std::string(scope.scope_name.c_str()) + ";";
            std::lock_guard<std::mutex> lock(owner->mutex);
            owner->kept.push_back(std::move(r));
        }

    private:
        LogCapture* owner;
    };
    using Sink = boost::log::sinks::synchronous_sink<Backend>;

    mutable std::mutex mutex;
    std::vector<LogRecord> kept;
    boost::shared_ptr<Sink> sink;
};

// Records "attach <serial>" and "detach <serial>" in the order it is told.
class Listener : public ITolvaneWdAPICallbackObj {
public:
    std::function<void(const std::string&)> onAttach; // runs before the record is kept

    void attach(std::string serial) override
    {
        if (onAttach)
            onAttach(serial);
        keep("attach " + serial);
    }
    void detach(std::string serial) override { keep("detach " + serial); }

    // Waits (bounded) until `count` events were told; returns them.
    std::vector<std::string> waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, waitLimit, [&] { return told.size() >= count; });
        return told;
    }
    std::vector<std::string> events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return told;
    }

private:
    void keep(std::string event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        told.push_back(std::move(event));
        cv.notify_all();
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> told;
};

// Polls `done` until it holds or the bounded wait ends.
inline bool eventually(const std::function<bool()>& done)
{
    auto end = std::chrono::steady_clock::now() + waitLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct Failure {
    bool thrown = false;
    unsigned long code = 0;
    std::string text;
};

// Runs `call` and returns the VemoException it raised, if any.
inline Failure failureOf(const std::function<void()>& call)
{
    Failure f;
    try {
        call();
    } catch (const VemoException& e) {
        f.thrown = true;
        f.code = e.getErrorCode();
        f.text = e.what();
    }
    return f;
}

// A default-built T changed by `change`: table rows of fault settings.
template <typename T, typename F>
T with(F change)
{
    T value;
    change(value);
    return value;
}

// A libusb result as the status the transport reports for it.
inline unsigned long status(int libusbResult) { return static_cast<unsigned long>(static_cast<long>(libusbResult)); }

// Threads of the process. A sanitizer's helper thread starts with the first thread created,
// so one is created (and joined) before the first count.
inline size_t threadCount()
{
    static const bool helpersStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)helpersStarted;
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++n;
        closedir(dir);
    }
    return n;
}

} // namespace transport_test

#endif
