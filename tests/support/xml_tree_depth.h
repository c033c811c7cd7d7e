// How deeply the elements of a tree that the XML reader built nest.
#ifndef XOL_TEST_XML_TREE_DEPTH_H
#define XOL_TEST_XML_TREE_DEPTH_H

#include <algorithm>

#include <boost/property_tree/ptree.hpp>

// Element levels; attributes and comments are no level.
inline unsigned int treeDepth(boost::property_tree::ptree const& tree)
{
    unsigned int deepest = 0;
    for (auto const& child : tree) {
        if (child.first != "<xmlattr>" && child.first != "<xmlcomment>")
            deepest = std::max(deepest, 1 + treeDepth(child.second));
    }
    return deepest;
}

#endif
