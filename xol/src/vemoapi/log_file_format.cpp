#include "log_file_format.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/expressions/formatters/named_scope.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/utility/formatting_ostream.hpp>

#include "log_attributes.h"

namespace {

namespace logging = boost::log;
using Scope = logging::attributes::named_scope_entry;

// Each scope as the "%c" element format writes it (a function's scope as its qualified name
// without return type and parameters). Parsing a signature costs more than the rest of a record,
// so the text is kept per scope: in a fixed table whose slots are filled once and never
// changed, found by the address of the scope's name and checked against its whole text, so that
// a name stored anywhere is still written right. Threads format records concurrently; a scope
// that finds no free slot is formatted anew each time.
class ScopeTexts {
public:
    ScopeTexts() : element(logging::expressions::aux::parse_named_scope_format("%c")) {}
    ~ScopeTexts()
    {
        for (auto& slot : slots)
            delete slot.load(std::memory_order_relaxed);
    }
    ScopeTexts(const ScopeTexts&) = delete;
    ScopeTexts& operator=(const ScopeTexts&) = delete;

    void write(logging::formatting_ostream& out, const Scope& scope) const
    {
        const char* name = scope.scope_name.c_str();
        const size_t length = scope.scope_name.size();
        const size_t home = (reinterpret_cast<uintptr_t>(name) >> 4) % slotCount;
        for (size_t probe = 0; probe < maxProbes; ++probe) {
            std::atomic<const Known*>& slot = slots[(home + probe) % slotCount];
            const Known* known = slot.load(std::memory_order_acquire);
            if (known == nullptr) {
                auto fresh = std::make_unique<Known>(scope, element);
                put(out, fresh->text);
                if (slot.compare_exchange_strong(known, fresh.get(), std::memory_order_acq_rel))
                    fresh.release();
                return;
            }
            if (known->matches(name, length, scope.type)) {
                put(out, known->text);
                return;
            }
        }
        element(out, scope);
    }

private:
    static void put(logging::formatting_ostream& out, const std::string& text)
    {
        out.rdbuf()->sputn(text.data(), static_cast<std::streamsize>(text.size()));
    }

    using ElementFormatter = decltype(logging::expressions::aux::parse_named_scope_format("%c"));
    struct Known {
        Known(const Scope& scope, const ElementFormatter& element)
            : name(scope.scope_name.c_str(), scope.scope_name.size()), type(scope.type)
        {
            logging::formatting_ostream out(text);
            element(out, scope);
            out.flush();
        }
        bool matches(const char* other, size_t length, Scope::scope_name_type otherType) const
        {
            return type == otherType && name.size() == length &&
                   std::memcmp(name.data(), other, length) == 0;
        }
        std::string name;
        Scope::scope_name_type type;
        std::string text;
    };
    static constexpr size_t slotCount = 512;
    static constexpr size_t maxProbes = 8;

    mutable std::array<std::atomic<const Known*>, slotCount> slots{};
    ElementFormatter element;
};

// A thread id's text as the logging library writes it, kept for the last id each formatting
// thread met: a sink formats a record on the thread that made it, so that is nearly always the
// id asked for, and writing it anew costs a stream sentry and a conversion per record.
class ThreadIdText {
public:
    using Id = logging::attributes::current_thread_id::value_type;

    static void write(logging::formatting_ostream& out, const Id& id)
    {
        thread_local ThreadIdText last;
        if (!last.known || !(last.id == id)) {
            last.text.clear();
            logging::formatting_ostream text(last.text);
            text << id;
            text.flush();
            last.id = id;
            last.known = true;
        }
        out.rdbuf()->sputn(last.text.data(), static_cast<std::streamsize>(last.text.size()));
    }

private:
    bool known = false;
    Id id;
    std::string text;
};

} // namespace

boost::log::formatter logFileFormatter()
{
    // Looked up once: naming an attribute by its text costs a search of the library's name table.
    struct Names {
        logging::attribute_name thread = thread_id_attr.get_name(), serial = sn_attr.get_name(),
                                message = logging::expressions::smessage.get_name(),
                                scopes = scopes_attr.get_name();
    };
    auto texts = std::make_shared<const ScopeTexts>();
    return [texts, names = Names()](logging::record_view const& rec,
                                    logging::formatting_ostream& out) {
        auto put = [&out](const char* text, size_t length) {
            out.rdbuf()->sputn(text, static_cast<std::streamsize>(length));
        };
        auto putText = [&put](const std::string& text) { put(text.data(), text.size()); };
        const logging::attribute_value_set& values = rec.attribute_values();
        const auto message = logging::extract<std::string>(names.message, values);
        put("[TID: ", 6);
        if (const auto thread =
                logging::extract<thread_id_attr_type::value_type>(names.thread, values))
            ThreadIdText::write(out, thread.get());
        put("] ", 2);
        if (const auto serial = logging::extract<std::string>(names.serial, values)) {
            put("[SN: ", 5);
            putText(serial.get());
            put("] ", 2);
            if (message)
                putText(message.get());
            return;
        }
        if (message)
            putText(message.get());
        put(" (", 2);
        // Outermost first, joined by "->"; nothing for no scope.
        if (const auto scopes =
                logging::extract<scopes_attr_type::value_type>(names.scopes, values)) {
            bool first = true;
            for (const Scope& scope : scopes.get()) {
                if (!first)
                    put("->", 2);
                first = false;
                texts->write(out, scope);
            }
        }
        put(")", 1);
    };
}
