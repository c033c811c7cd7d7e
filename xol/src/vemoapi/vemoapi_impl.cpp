#include "vemoapi_impl.h"

#include <cstring>
#include <fstream>
#include <limits>

#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/expressions/formatters/named_scope.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/format.hpp>
#include <boost/make_shared.hpp>

#include "log_attributes.h"
#include "operation_boundary.h"
#include "secure_buffers.h"
#include "tolvane_libusb.h"

namespace {

const char versionText[] = "3.0.0.1119(DBG)";

} // namespace

VemoAPI::VemoAPI() : transport(nullptr), usbTimeout(5000), inFlight(0)
{
    namespace logging = boost::log;
    namespace expr = boost::log::expressions;
    namespace keywords = boost::log::keywords;
    namespace sinks = boost::log::sinks;

    // Registering them again for a second object keeps the attributes already there.
    logging::add_common_attributes();

    auto backend = boost::make_shared<sinks::text_ostream_backend>();
    backend->auto_flush(false);
    fileSink = boost::make_shared<sinks::synchronous_sink<sinks::text_ostream_backend>>(backend);
    const logging::formatter scopes = expr::stream << expr::format_named_scope(
        "Scopes", keywords::format = "%c", keywords::delimiter = "->",
        keywords::iteration = expr::forward, keywords::incomplete_marker = "...",
        keywords::empty_marker = "");
    fileSink->set_formatter(
        [scopes](logging::record_view const& rec, logging::formatting_ostream& out) {
            if (auto serial = rec[sn_attr]) {
                out << boost::format("[TID: %1%] [SN: %2%] %3%") % rec[thread_id_attr] %
                           serial.get() % rec[expr::smessage];
                return;
            }
            std::string scopeText;
            logging::formatting_ostream scopeOut(scopeText);
            scopes(rec, scopeOut);
            scopeOut.flush();
            out << boost::format("[TID: %1%] %2% (%3%)") % rec[thread_id_attr] %
                       rec[expr::smessage] % scopeText;
        });

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
    // An unopenable path is accepted all the same: the stream then discards what it is given.
    auto stream = boost::make_shared<std::ofstream>(path.empty() ? std::string("debug.log") : path,
                                                    std::ios_base::out | std::ios_base::trunc);
    fileSink->locked_backend()->add_stream(stream);
    core->set_logging_enabled(true);
}
