// Log back end that hands each formatted record to a caller's progress callback.
#ifndef XOL_ZUB_SINK_BACKEND_H
#define XOL_ZUB_SINK_BACKEND_H

#include <string>

#include <boost/log/core/record_view.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>

class zub_sink_backend
    : public boost::log::sinks::basic_formatted_sink_backend<
          char, boost::log::sinks::synchronized_feeding> {
public:
    void set_callback(void (*callback)(unsigned long, const char*, void*), void* context);
    void consume(boost::log::record_view const& record, std::string const& message);

private:
    void (*callback)(unsigned long, const char*, void*) = nullptr;
    void* context = nullptr;
};

#endif
