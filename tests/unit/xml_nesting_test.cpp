// The nesting bound that keeps a pathological configuration file from exhausting the stack.
#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include "platform_config_files.h"
#include "xml_nesting.h"

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

class XmlNestingTest : public ::testing::Test {
protected:
    bool refused(std::string const& xml, unsigned int maxDepth)
    {
        ScratchDir::write("n.xml", xml);
        try {
            checkXmlNesting("n.xml", maxDepth);
            return false;
        } catch (boost::property_tree::xml_parser::xml_parser_error const&) {
            return true;
        }
    }

    ScratchDir dir;
};

TEST_F(XmlNestingTest, BoundOnOpenElements)
{
    EXPECT_FALSE(refused(nested(5), 5));
    EXPECT_TRUE(refused(nested(6), 5));
    // Siblings and self-closing elements do not add depth.
    EXPECT_FALSE(refused(nested(4, "<b/><b x='1'/><b></b>" + nested(1)), 5));
    EXPECT_TRUE(refused(nested(4, "<b/>" + nested(2)), 5));
}

TEST_F(XmlNestingTest, MarkupThatOpensNoElementIsNotCounted)
{
    const std::string inner = "<!-- <a><a><a> --><![CDATA[<a><a><a>]]><?pi <a><a>?>"
                              "<b attr=\"<a>\" other='>'/>";
    EXPECT_FALSE(refused("<!DOCTYPE a [<!ELEMENT a ANY>]>" + nested(3, inner), 3));
    // A tag whose quoted value holds "/>" still opens an element.
    EXPECT_TRUE(refused(nested(3, "<b v=\"/>\">x</b>"), 3));
}

TEST_F(XmlNestingTest, UnreadableFileLeftToTheReader)
{
    EXPECT_NO_THROW(checkXmlNesting(dir.path("absent.xml"), 1));
}

TEST_F(XmlNestingTest, DeepConfigurationRefusedWithFileAndLine)
{
    ScratchDir::write("deep.xml", "<config>\n" + nested(200000) + "</config>\n");
    PlatformConfig config;
    const Outcome out = outcomeOf([&] { config.parse("deep.xml"); });
    EXPECT_EQ(out.status, 0x30000U);
    EXPECT_EQ(out.text, "deep.xml(2): elements nested too deeply");

    // A shipped-style file stays far below the bound.
    ScratchDir::write("ok.xml", configXml(ufsXml("<attributes configure=\"true\">"
        "<boot><value>" + nested(20, "1") + "</value></boot></attributes>")));
    EXPECT_EQ(outcomeOf([&] { config.parse("ok.xml"); }).text, "stoul");
}

} // namespace
