#include "xml_nesting.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include <boost/property_tree/xml_parser.hpp>

namespace {

// Follows the reader's grammar only as far as telling tags apart: comments, CDATA sections,
// processing instructions and the document type never open an element, a quoted attribute
// value may hold '>', and "/>" closes what it opens.
class NestingScan {
public:
    NestingScan(std::string const& text, unsigned int maxDepth) : text(text), maxDepth(maxDepth)
    {
    }

    // The line where the bound is first passed, or 0.
    unsigned long tooDeepAt()
    {
        while (pos < text.size()) {
            if (text[pos] != '<') {
                ++pos;
                continue;
            }
            if (startsWith("<!--"))
                skipPast("-->");
            else if (startsWith("<![CDATA["))
                skipPast("]]>");
            else if (startsWith("<?"))
                skipPast("?>");
            else if (startsWith("<!"))
                skipDeclaration();
            else if (startsWith("</")) {
                skipTag();
                if (depth > 0)
                    --depth;
            } else {
                const size_t start = pos;
                if (!skipTag())
                    ++depth;
                if (depth > maxDepth)
                    return lineOf(start);
            }
        }
        return 0;
    }

private:
    bool startsWith(const char* token) const
    {
        return text.compare(pos, std::strlen(token), token) == 0;
    }

    void skipPast(const char* token)
    {
        const size_t end = text.find(token, pos + 1);
        pos = end == std::string::npos ? text.size() : end + std::strlen(token);
    }

    void skipDeclaration()
    {
        int brackets = 0;
        for (++pos; pos < text.size(); ++pos) {
            if (text[pos] == '[')
                ++brackets;
            else if (text[pos] == ']' && brackets > 0)
                --brackets;
            else if (text[pos] == '>' && brackets == 0) {
                ++pos;
                return;
            }
        }
    }

    // Moves past the tag's '>'; true when the tag closes itself.
    bool skipTag()
    {
        char quote = 0;
        for (++pos; pos < text.size(); ++pos) {
            const char c = text[pos];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                ++pos;
                return text[pos - 2] == '/';
            }
        }
        return false;
    }

    unsigned long lineOf(size_t offset) const
    {
        return 1 + static_cast<unsigned long>(
                       std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n'));
    }

    std::string const& text;
    const unsigned int maxDepth;
    size_t pos = 0;
    unsigned int depth = 0;
};

} // namespace

void checkXmlNesting(std::string const& path, unsigned int maxDepth)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (const unsigned long line = NestingScan(text, maxDepth).tooDeepAt())
        throw boost::property_tree::xml_parser::xml_parser_error(
            "elements nested too deeply", path, line);
}
