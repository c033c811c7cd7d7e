#include "vemoapi_impl.h"

#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

#include <boost/filesystem/operations.hpp>
#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/make_shared.hpp>

#include "log_file_format.h"
#include "operation_boundary.h"
#include "secure_buffers.h"
#include "tolvane_libusb.h"

namespace {

const char versionText[] = "3.0.0.1119(DBG)";

// Holds the buffer of a log stream; as the stream's first base it outlives the stream's last flush.
struct LogBuffer {
    static constexpr size_t size = 64 * 1024;
    std::unique_ptr<char[]> bytes{new char[size]};
};

// A log file written in large blocks: a long operation's records would otherwise cost a system
// call every few dozen.
class LogFile : private LogBuffer, public std::ofstream {
public:
    explicit LogFile(const std::string& path)
    {
        rdbuf()->pubsetbuf(bytes.get(), static_cast<std::streamsize>(LogBuffer::size));
        open(path, std::ios_base::out | std::ios_base::trunc);
    }
};

} // namespace

VemoAPI::VemoAPI() : transport(nullptr), passDone(false), usbTimeout(5000), inFlight(0)
{
    namespace logging = boost::log;
    namespace sinks = boost::log::sinks;

    // Registering them again for a second object keeps the attributes already there.
    logging::add_common_attributes();

    auto backend = boost::make_shared<sinks::text_ostream_backend>();
    backend->auto_flush(false);
    fileSink = boost::make_shared<sinks::synchronous_sink<sinks::text_ostream_backend>>(backend);
    fileSink->set_formatter(logFileFormatter());

    auto core = logging::core::get();
    core->add_global_attribute("Scopes", logging::attributes::named_scope());
    core->add_sink(fileSink);
    core->set_logging_enabled(false);
}

VemoAPI::InFlight::InFlight(VemoAPI& api) : api(api)
{
    std::lock_guard<std::mutex> lock(api.flightLock);
    ++api.inFlight;
}

VemoAPI::InFlight::~InFlight()
{
    // Notified under the lock: the destructor cannot go on, and free both, before this is done.
    std::lock_guard<std::mutex> lock(api.flightLock);
    if (--api.inFlight == 0)
        api.flightDone.notify_all();
}

VemoAPI::~VemoAPI()
{
    // The last release may come while other threads are still inside operations.
    {
        std::unique_lock<std::mutex> lock(flightLock);
        flightDone.wait(lock, [this] { return inFlight == 0; });
    }
    // Stopping the transport joins its notification thread, which may still deliver queued
    // attach and detach calls to this object; the tables are freed only afterwards.
    if (transport != nullptr) {
        transport->Deinit();
        delete transport;
        transport = nullptr;
    }
    boost::log::core::get()->remove_sink(fileSink);
    deviceTable.clear();
    ifpTable.clear();
    fileSink.reset();
}

unsigned long VemoAPI::getfullversion(_version_t* versionInfo)
{
    std::memset(versionInfo->version, 0, sizeof versionInfo->version);
    copyMessage(versionInfo->version, versionText, sizeof versionInfo->version);
    versionInfo->length = std::strlen(versionInfo->version);
    return versionInfo->length;
}

unsigned long VemoAPI::setusbreadwritedelay(unsigned long timeoutMs, _error_msg_t* msg)
{
    const InFlight op(*this);
    // Transfers and Set Protocol carry the time-out in 32 bits: a wider value would wrap, to 0
    // at 2^32, which libusb takes as no time-out at all.
    if (timeoutMs > std::numeric_limits<unsigned int>::max()) {
        setMessage(msg, "Timeout value is too large");
        return VEMO_ERROR_TIMEOUT_VALUE;
    }
    // The lower bound is checked where a job is built from it, so that the failure names the
    // operation.
    usbTimeout = timeoutMs;
    setMessage(msg, status::successText());
    return VEMO_SUCCESS;
}

void VemoAPI::setlogging(bool enable, std::string path)
{
    const InFlight op(*this);
    auto core = boost::log::core::get();
    if (!enable) {
        core->set_logging_enabled(false);
        return;
    }
    const std::string file = path.empty() ? std::string("debug.log") : path;
    // Held until the new stream is in place, so that no record falls between the two.
    auto backend = fileSink->locked_backend();
    // A stream still open on this very file would go on writing at its old offset once the file
    // is truncated, leaving NUL bytes at the head of the new log: it is closed first.
    boost::system::error_code ec;
    for (auto it = logFiles.begin(); it != logFiles.end();) {
        if (boost::filesystem::equivalent(it->first, file, ec)) {
            if (auto open = it->second.lock()) {
                backend->remove_stream(open);
                open->close();
            }
            it = logFiles.erase(it);
        } else {
            ++it;
        }
    }
    // An unopenable path is accepted all the same: the stream then discards what it is given.
    auto stream = boost::make_shared<LogFile>(file);
    backend->add_stream(stream);
    logFiles.emplace_back(boost::filesystem::absolute(file, ec), stream);
    core->set_logging_enabled(true);
}
