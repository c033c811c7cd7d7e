#include "zub_sink_backend.h"

void zub_sink_backend::set_callback(void (*callback)(unsigned long, const char*, void*),
                                    void* context)
{
    this->callback = callback;
    this->context = context;
}

void zub_sink_backend::consume(boost::log::record_view const&, std::string const& message)
{
    if (callback != nullptr)
        callback(0, message.c_str(), context);
}
