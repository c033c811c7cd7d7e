// A bound on how deeply the elements of an XML text nest. The XML reader descends recursively,
// so a text nested deeply enough would exhaust the stack; it is refused before it is read.
#ifndef XOL_XML_NESTING_H
#define XOL_XML_NESTING_H

#include <cstddef>
#include <string>

struct XmlNesting {
    unsigned int depth; // deepest element level the reader reaches, at most limit + 1
    size_t offset;      // where the first element of that level starts in the text
};

// Walks the text as the XML reader tokenises it, to its end or the reader's first error, and
// stops once the depth passes `limit`.
XmlNesting xmlNesting(std::string const& text, unsigned int limit);

// Throws the XML reader's parse error, naming the file and line, when elements nest deeper than
// maxDepth.
void checkXmlNesting(std::string const& text, std::string const& path, unsigned int maxDepth);

#endif
