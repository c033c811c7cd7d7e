#include "zub_logger.h"

#include <boost/log/core/core.hpp>
#include <boost/log/expressions.hpp>
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

void ZubLogger::sinkInstall(std::string const& serial,
                            void (*callback)(unsigned long, const char*, void*), void* context)
{
    sink->locked_backend()->set_callback(callback, context);
    namespace expr = boost::log::expressions;
    sink->set_filter(expr::has_attr(sn_attr) && sn_attr == serial);
    boost::log::core::get()->add_sink(sink);
}
