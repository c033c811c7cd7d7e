// Forwards the log records of one device to a caller's progress callback for the length of one
// interface operation.
#ifndef XOL_ZUB_LOGGER_H
#define XOL_ZUB_LOGGER_H

#include <cstdint>

#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/shared_ptr.hpp>

#include "zub_sink_backend.h"

class ZubLogger {
public:
    ZubLogger();
    ~ZubLogger();
    ZubLogger(ZubLogger const&) = delete;
    ZubLogger& operator=(ZubLogger const&) = delete;

    // From now on, the records that the calling thread makes for the connection of identity
    // `connection` reach the callback; another job's, at the same serial text or on another
    // thread, never do.
    void sinkInstall(uint64_t connection,
                     void (*callback)(unsigned long, const char*, void*), void* context);

private:
    boost::shared_ptr<boost::log::sinks::synchronous_sink<zub_sink_backend>> sink;
};

#endif
