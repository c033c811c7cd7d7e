// The log file's record layout: "[TID: <thread>] [SN: <serial>] <message>" for a device's
// records, "[TID: <thread>] <message> (<scopes>)" for the others.
#ifndef XOL_LOG_FILE_FORMAT_H
#define XOL_LOG_FILE_FORMAT_H

#include <boost/log/expressions/formatter.hpp>

// Writes each record straight into the sink's stream; a scope's text is worked out from its
// function signature once and then reused.
boost::log::formatter logFileFormatter();

#endif
