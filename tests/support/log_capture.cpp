#include "log_capture.h"

#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/make_shared.hpp>

namespace testkit {

class LogCapture::Backend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    explicit Backend(LogCapture* owner) : owner(owner) {}
    void consume(const boost::log::record_view& rec)
    {
        LogRecord r;
        r.level = boost::log::extract_or_default<severity>("Severity", rec, severity::info);
        r.channel = boost::log::extract_or_default<std::string>("Channel", rec, std::string());
        r.serial = boost::log::extract_or_default<std::string>("serial_number", rec, std::string());
        r.message = boost::log::extract_or_default<std::string>("Message", rec, std::string());
        if (auto scopes = boost::log::extract<boost::log::attributes::named_scope_list>("Scopes", rec))
            for (const auto& scope : scopes.get())
                r.scopes += std::string(scope.scope_name.c_str()) + ";";
        std::lock_guard<std::mutex> lock(owner->mutex);
        owner->kept.push_back(std::move(r));
    }

private:
    LogCapture* owner;
};

LogCapture::LogCapture()
{
    auto core = boost::log::core::get();
    core->add_global_attribute("Scopes", boost::log::attributes::named_scope());
    sink = boost::make_shared<Sink>(boost::make_shared<Backend>(this));
    core->add_sink(sink);
}

LogCapture::~LogCapture() { boost::log::core::get()->remove_sink(sink); }

std::vector<LogRecord> LogCapture::records() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return kept;
}

std::vector<LogRecord> LogCapture::records(const std::string& channel) const
{
    std::vector<LogRecord> found;
    for (LogRecord& r : records())
        if (r.channel == channel)
            found.push_back(std::move(r));
    return found;
}

} // namespace testkit
