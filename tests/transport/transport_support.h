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

#include "exceptions.h"
#include "log_capture.h"
#include "tolvane_wd_callback.h"

namespace transport_test {

using testkit::LogRecord;
using testkit::severity;
constexpr auto waitLimit = std::chrono::seconds(10);

// Keeps every record of the core while it lives, and finds the transport's among them.
class LogCapture : public testkit::LogCapture {
public:
    // Records of channel "WD" at that level whose text begins with `prefix`.
    std::vector<LogRecord> find(severity level, const std::string& prefix) const
    {
        std::vector<LogRecord> found;
        for (const LogRecord& r : records("WD"))
            if (r.level == level && r.message.compare(0, prefix.size(), prefix) == 0)
                found.push_back(r);
        return found;
    }
    bool has(severity level, const std::string& prefix) const { return !find(level, prefix).empty(); }
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
