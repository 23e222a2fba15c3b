#include "jcl/jcl_Presence.h"

#include "jcl/jcl_Node.h"

jcl_Presence::jcl_Presence() : priority(0) {}

jcl_Presence::jcl_Presence(const jcl_Node& node) : priority(0) {
    if (node.GetTagName() != "presence")
        return;
    static const char* const order[4] = {"to", "from", "id", "type"};
    ReadAttributes(node, order);
    const int count = node.children.Count();
    for (int i = 0; i < count; ++i) {
        const jcl_Node& child = node.children.ConstGet(i);
        const cow_String& name = child.GetTagName();
        if (name == "status")
            status = child.text;
        else if (name == "show")
            show = child.text;
        else if (name == "priority")
            priority = ToInt(child.text);
    }
}

jcl_Presence::~jcl_Presence() = default;

cow_String jcl_Presence::GetTypeName() const {
    return "presence";
}

cow_String jcl_Presence::Serialize() const {
    cow_String out("<presence");
    WriteAttributes(out);
    out.append(">");
    AppendEscapedElement(out, "show", show);
    AppendEscapedElement(out, "status", status);
    out.append("</presence>\n");
    return out;
}
