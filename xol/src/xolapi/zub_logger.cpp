#include "zub_logger.h"

#include <thread>

#include <boost/log/core/core.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/make_shared.hpp>

#include "log_attributes.h"

ZubLogger::ZubLogger()
    : sink(boost::make_shared<boost::log::sinks::synchronous_sink<zub_sink_backend>>())
{
}

ZubLogger::~ZubLogger()
{
    boost::log::core::get()->remove_sink(sink);
    // A record that another thread had already routed to this sink may still be on its way in;
    // taking the back end's lock waits for it, and the cleared callback drops anything later.
    sink->locked_backend()->set_callback(nullptr, nullptr);
}

void ZubLogger::sinkInstall(uint64_t connection,
                            void (*callback)(unsigned long, const char*, void*), void* context)
{
    sink->locked_backend()->set_callback(callback, context);
    // The filter runs on the thread making the record. One look-up of the attribute by a name
    // made once. With no callback nothing would be handed on: no record is let through to be
    // formatted.
    sink->set_filter([name = connection_attr.get_name(), connection,
                      caller = std::this_thread::get_id(), forwards = callback != nullptr](
                         boost::log::attribute_value_set const& values) {
        if (!forwards || std::this_thread::get_id() != caller)
            return false;
        const auto value = boost::log::extract<uint64_t>(name, values);
        return value && value.get() == connection;
    });
    boost::log::core::get()->add_sink(sink);
}
