#include "vemoapi_impl.h"

#include <cstring>
#include <fstream>

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

} // namespace

VemoAPI::VemoAPI() : transport(nullptr), usbTimeout(5000)
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

VemoAPI::~VemoAPI()
{
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
    // Range-checked where a job is built from it, so that the failure names the operation.
    usbTimeout = timeoutMs;
    setMessage(msg, "Success");
    return 0;
}

void VemoAPI::setlogging(bool enable, std::string path)
{
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
