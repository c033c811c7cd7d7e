// Attribute keywords and logger types shared by every log record of the library.
#ifndef XOL_LOG_ATTRIBUTES_H
#define XOL_LOG_ATTRIBUTES_H

#include <cstdint>
#include <string>

#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/expressions/keyword.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/log/trivial.hpp>

// The connection's serial text; records of a device job or of the protocol carry it.
BOOST_LOG_ATTRIBUTE_KEYWORD(sn_attr, "serial_number", std::string)
// The identity of the connection a device job or protocol object is held to: records of a job
// on a later board under the same serial text carry another.
BOOST_LOG_ATTRIBUTE_KEYWORD(connection_attr, "connection", uint64_t)
BOOST_LOG_ATTRIBUTE_KEYWORD(channel_attr, "Channel", std::string)
BOOST_LOG_ATTRIBUTE_KEYWORD(thread_id_attr, "ThreadID",
                            boost::log::attributes::current_thread_id::value_type)
// The functions and named scopes a record was made in, outermost first.
BOOST_LOG_ATTRIBUTE_KEYWORD(scopes_attr, "Scopes", boost::log::attributes::named_scope::value_type)

namespace xollog {
using severity = boost::log::trivial::severity_level;
// Protocol ("XOL") and transport ("WD") records.
using channel_logger = boost::log::sources::severity_channel_logger_mt<severity, std::string>;
// One device's protocol object, used by one thread at a time.
using channel_logger_st = boost::log::sources::severity_channel_logger<severity, std::string>;
// Job records: no channel.
using logger = boost::log::sources::severity_logger_mt<severity>;
} // namespace xollog

#endif
