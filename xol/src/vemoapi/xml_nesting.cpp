#include "xml_nesting.h"

#include <algorithm>
#include <cstring>

#include <boost/property_tree/xml_parser.hpp>

namespace {

// The reader's own character classes: a scan with classes of its own would disagree with the
// reader on names such as <q'> and let nesting through unseen.
using ReaderTables = boost::property_tree::detail::rapidxml::internal::lookup_tables<0>;

// The reader's grammar, step for step, with the recursion replaced by a depth count. The text
// ends at its terminator as the reader's buffer does. Where the reader fails, the walk ends; an
// entity the reader refuses inside a text or attribute value is walked over instead, which can
// only find more depth than the reader reaches, never less.
class ReaderWalk {
public:
    ReaderWalk(std::string const& text, unsigned int limit)
        : begin(text.c_str()), p(begin), limit(limit)
    {
    }

    XmlNesting run()
    {
        skipBom();
        while (result.depth <= limit) {
            if (depth == 0) {
                skip(ReaderTables::lookup_whitespace);
                if (*p != '<')
                    break; // the end of the document, or "expected <"
                ++p;
                if (!node())
                    break;
            } else if (*p == '<') {
                if (p[1] == '/') {
                    if (!closing())
                        break;
                } else {
                    ++p;
                    if (!node())
                        break;
                }
            } else if (*p == '\0') {
                break; // unexpected end of data
            } else {
                skip(ReaderTables::lookup_text);
            }
        }
        return result;
    }

private:
    static bool in(const unsigned char* table, char c)
    {
        return table[static_cast<unsigned char>(c)] != 0;
    }

    void skip(const unsigned char* table)
    {
        while (in(table, *p))
            ++p;
    }

    void skipBom()
    {
        if (static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB
            && static_cast<unsigned char>(p[2]) == 0xBF)
            p += 3;
    }

    // Whether the text goes on with `token`; reads no further than its first difference, so
    // never past the terminator.
    bool startsWith(const char* token) const
    {
        for (size_t i = 0; token[i] != '\0'; ++i)
            if (p[i] != token[i])
                return false;
        return true;
    }

    // Moves past the next `token`; false at the end of the text.
    bool skipPast(const char* token)
    {
        while (!startsWith(token)) {
            if (*p == '\0')
                return false;
            ++p;
        }
        p += std::strlen(token);
        return true;
    }

    // After "<": one node; false where the reader fails.
    bool node()
    {
        if (*p == '?') {
            ++p;
            if ((p[0] == 'x' || p[0] == 'X') && (p[1] == 'm' || p[1] == 'M')
                && (p[2] == 'l' || p[2] == 'L') && in(ReaderTables::lookup_whitespace, p[3]))
                p += 4;
            return skipPast("?>");
        }
        if (*p == '!') {
            if (startsWith("!--")) {
                p += 3;
                return skipPast("-->");
            }
            if (startsWith("![CDATA[")) {
                p += 8;
                return skipPast("]]>");
            }
            if (startsWith("!DOCTYPE") && in(ReaderTables::lookup_whitespace, p[8])) {
                p += 9;
                return doctype();
            }
            // Any other "<!" is skipped to the next '>', brackets or not.
            ++p;
            while (*p != '>') {
                if (*p == '\0')
                    return false;
                ++p;
            }
            ++p;
            return true;
        }
        return element();
    }

    bool doctype()
    {
        while (*p != '>') {
            if (*p == '\0')
                return false;
            if (*p == '[') {
                ++p;
                for (int brackets = 1; brackets > 0; ++p) {
                    if (*p == '[')
                        ++brackets;
                    else if (*p == ']')
                        --brackets;
                    else if (*p == '\0')
                        return false;
                }
            } else {
                ++p;
            }
        }
        ++p;
        return true;
    }

    bool element()
    {
        const char* const start = p - 1;
        const char* const name = p;
        skip(ReaderTables::lookup_node_name);
        if (p == name)
            return false;
        skip(ReaderTables::lookup_whitespace);
        while (in(ReaderTables::lookup_attribute_name, *p)) {
            skip(ReaderTables::lookup_attribute_name);
            skip(ReaderTables::lookup_whitespace);
            if (*p != '=')
                return false;
            ++p;
            skip(ReaderTables::lookup_whitespace);
            const char quote = *p;
            if (quote != '\'' && quote != '"')
                return false;
            ++p;
            skip(quote == '\'' ? ReaderTables::lookup_attribute_data_1
                               : ReaderTables::lookup_attribute_data_2);
            if (*p != quote)
                return false;
            ++p;
            skip(ReaderTables::lookup_whitespace);
        }
        // An element that closes itself is a level of the tree all the same.
        if (depth + 1 > result.depth)
            result = {depth + 1, static_cast<size_t>(start - begin)};
        if (*p == '>') {
            ++p;
            ++depth;
            return true;
        }
        if (p[0] == '/' && p[1] == '>') {
            p += 2;
            return true;
        }
        return false;
    }

    // "</", a name the reader does not check against the open element, and ">".
    bool closing()
    {
        p += 2;
        skip(ReaderTables::lookup_node_name);
        skip(ReaderTables::lookup_whitespace);
        if (*p != '>')
            return false;
        ++p;
        --depth;
        return true;
    }

    const char* const begin;
    const char* p;
    const unsigned int limit;
    unsigned int depth = 0;
    XmlNesting result{0, 0};
};

} // namespace

XmlNesting xmlNesting(std::string const& text, unsigned int limit)
{
    return ReaderWalk(text, limit).run();
}

void checkXmlNesting(std::string const& text, std::string const& path, unsigned int maxDepth)
{
    const XmlNesting nesting = xmlNesting(text, maxDepth);
    if (nesting.depth <= maxDepth)
        return;
    const long line = 1 + std::count(text.begin(),
                              text.begin() + static_cast<std::ptrdiff_t>(nesting.offset), '\n');
    throw boost::property_tree::xml_parser::xml_parser_error(
        "elements nested too deeply", path, line);
}
