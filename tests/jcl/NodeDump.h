#ifndef TESTS_JCL_NODEDUMP_H
#define TESTS_JCL_NODEDUMP_H

#include "jcl/jcl_Node.h"

#include <string>

// A compact, console-free picture of a tree for exact comparisons:
// name[key=value,...]{text}(child child ...).
inline std::string NodeDump(const jcl_Node& node) {
    std::string out = node.GetTagName().c_str();
    out += "[";
    cow_Map<cow_String, cow_String>::ConstIterator attribute(node.attributes);
    for (attribute.First(); !attribute.IsDone(); attribute.Next()) {
        out += attribute.Key().c_str();
        out += "=";
        out += attribute.Value().c_str();
        out += ";";
    }
    out += "]{";
    out += node.text.c_str();
    out += "}(";
    for (int i = 0; i < node.children.Count(); ++i) {
        if (i > 0)
            out += " ";
        out += NodeDump(node.children.ConstGet(i));
    }
    out += ")";
    return out;
}

#endif
