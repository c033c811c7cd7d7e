// A bound on how deeply the elements of an XML file nest. The XML reader descends recursively,
// so a file nested deeply enough would exhaust the stack; it is refused before it is read.
#ifndef XOL_XML_NESTING_H
#define XOL_XML_NESTING_H

#include <string>

// Throws the XML reader's parse error, naming the file and line, when elements nest deeper than
// maxDepth. A file that cannot be opened is left to the reader to report.
void checkXmlNesting(std::string const& path, unsigned int maxDepth);

#endif
