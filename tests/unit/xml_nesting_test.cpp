// The nesting bound that keeps a pathological configuration file from exhausting the stack.
#include <gtest/gtest.h>

#include <sstream>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "platform_config_files.h"
#include "xml_nesting.h"
#include "xml_tree_depth.h"

using namespace config_test;

namespace {

std::string nested(unsigned int depth, std::string const& inner = "")
{
    std::string xml;
    for (unsigned int i = 0; i < depth; ++i)
        xml += "<a>";
    xml += inner;
    for (unsigned int i = 0; i < depth; ++i)
        xml += "</a>";
    return xml;
}

bool refused(std::string const& xml, unsigned int maxDepth)
{
    try {
        checkXmlNesting(xml, "n.xml", maxDepth);
        return false;
    } catch (boost::property_tree::xml_parser::xml_parser_error const&) {
        return true;
    }
}

TEST(XmlNesting, BoundOnOpenElements)
{
    EXPECT_FALSE(refused(nested(5), 5));
    EXPECT_TRUE(refused(nested(6), 5));
    // Siblings and self-closing elements do not add depth, but a self-closing one is a level.
    EXPECT_FALSE(refused(nested(4, "<b/><b x='1'/><b></b>" + nested(1)), 5));
    EXPECT_TRUE(refused(nested(4, "<b/>" + nested(2)), 5));
    EXPECT_TRUE(refused(nested(5, "<b/>"), 5));
}

TEST(XmlNesting, MarkupThatOpensNoElementIsNotCounted)
{
    const std::string inner = "<!-- <a><a><a> --><![CDATA[<a><a><a>]]><?pi <a><a>?>"
                              "<b attr=\"<a>\" other='>'/>";
    EXPECT_FALSE(refused("<!DOCTYPE a [<!ELEMENT a ANY>]>" + nested(3, inner), 4));
    // A tag whose quoted value holds "/>" still opens an element.
    EXPECT_TRUE(refused(nested(3, "<b v=\"/>\">x</b>"), 3));
}

// Each text is one the reader accepts: the walk must find the depth of the tree the reader
// builds, wherever a scan of its own would read the markup otherwise.
TEST(XmlNesting, DepthIsTheReaders)
{
    const std::string texts[] = {
        nested(3),
        "<!x [ >" + nested(3),                        // "<!" skipped to '>', brackets or not
        "<r><!x [ > ]>" + nested(2) + "</r>",
        "<!-x>" + nested(2),
        "<q'>" + nested(3) + "</q'>",                 // a quote belongs to the name
        "<a\"b c='1'>" + nested(2) + "</a\"b>",
        "<a<b>" + nested(2) + "</a>",                 // so does '<'
        "<a x='\"<a>'>" + nested(1) + "</a>",
        "<a x=\"'<a>\">" + nested(1) + "</a>",
        "<a x='&lt;a&gt;' y=\"&#60;a>\">&#60;a>&lt;a></a>",
        "<a><b></c></a>",                             // closing names are not checked
        "<a><b></b\t ></a  >",
        "<!DOCTYPE a [<!ELEMENT a ANY> [ ] ]>" + nested(2),
        "<!DOCTYPE\ta>" + nested(2),
        "<?xml version=\"1.0\"?><?xml-stylesheet <a>?><?XmL ?>" + nested(2),
        "\xEF\xBB\xBF" + nested(2),
        "<a><![CDATA[</a><a><a>]]><!-- </a><a> --></a>",
        "<a>text <b>more</b> <c/> end</a>",
        std::string("<a></a>\0<b><b><b>", 16),         // the reader stops at a terminator
        "<a/><b><c/></b>",                            // more than one element at the top
    };
    for (std::string const& text : texts) {
        SCOPED_TRACE(text);
        boost::property_tree::ptree tree;
        std::istringstream in(text);
        ASSERT_NO_THROW(boost::property_tree::read_xml(in, tree));
        EXPECT_EQ(xmlNesting(text, 100).depth, treeDepth(tree));
    }
}

TEST(XmlNesting, WalkEndsWhereTheReaderFails)
{
    // Nothing the reader reads past its first error counts.
    for (std::string const& broken : {std::string("<a x=1>"), std::string("<a></a>text"),
             std::string("<a/ >"), std::string("<>"), std::string("</a>"),
             std::string("<a x='1' y>"), std::string("<!-- open"), std::string("<?pi")}) {
        SCOPED_TRACE(broken);
        EXPECT_FALSE(refused(broken + nested(10), 5));
    }
}

TEST(XmlNesting, DeepConfigurationRefusedWithFileAndLine)
{
    ScratchDir dir;
    // Each of these once reached the reader unseen and overflowed its stack.
    const std::string leads[] = {"", "<!x [ >", "<q'>", "<a b='1' c=\"'\">"};
    for (std::string const& lead : leads) {
        SCOPED_TRACE(lead);
        std::string opened;
        for (int i = 0; i < 200000; ++i)
            opened += "<a>";
        ScratchDir::write("deep.xml", "<config>\n" + lead + "\n" + opened);
        PlatformConfig config;
        const Outcome out = outcomeOf([&] { config.parse("deep.xml"); });
        EXPECT_EQ(out.status, 0x30000U);
        EXPECT_EQ(out.text, "deep.xml(3): elements nested too deeply");
    }

    // A shipped-style file stays far below the bound.
    ScratchDir::write("ok.xml", configXml(ufsXml("<attributes configure=\"true\">"
        "<boot><value>" + nested(20, "1") + "</value></boot></attributes>")));
    PlatformConfig config;
    EXPECT_EQ(outcomeOf([&] { config.parse("ok.xml"); }).text, "stoul");
}

} // namespace
