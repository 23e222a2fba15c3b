#include "jcl/jcl_Entity.h"

#include "jcl/jcl_Node.h"
#include "xml/xml_Text.h"

#include <cctype>
#include <climits>

jcl_Entity::jcl_Entity() = default;

jcl_Entity::~jcl_Entity() = default;

static void AppendAttribute(cow_String& out, const char* prefix, const cow_String& value) {
    if (value.IsEmpty())
        return;
    out.append(prefix);
    xml_Text::AppendEscaped(out, value);
    out.append("\"");
}

void jcl_Entity::WriteAttributes(cow_String& out) const {
    AppendAttribute(out, " to=\"", to);
    AppendAttribute(out, " from=\"", from);
    AppendAttribute(out, " type=\"", type);
    AppendAttribute(out, " id=\"", id);
}

void jcl_Entity::ReadAttributes(const jcl_Node& node, const char* const order[4]) {
    for (int k = 0; k < 4; ++k) {
        const cow_String name(order[k]);
        if (!node.attributes.IsMember(name))
            continue;
        const cow_String& value = node.attributes.ConstGet(name);
        if (name == "to")
            to = value;
        else if (name == "from")
            from = value;
        else if (name == "id")
            id = value;
        else
            type = value;
    }
}

int jcl_Entity::ToInt(const cow_String& text) {
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void jcl_Entity::AppendEscapedElement(cow_String& out, const char* name, const cow_String& value) {
    if (value.IsEmpty())
        return;
    out.append("<");
    out.append(name);
    out.append(">");
    xml_Text::AppendEscaped(out, value);
    out.append("</");
    out.append(name);
    out.append(">");
}

void jcl_Entity::AppendError(cow_String& out, int code, const cow_String& error) {
    if (error.IsEmpty())
        return;
    out.append("<error code=\"");
    out.append(cow_String(code));
    out.append("\">");
    xml_Text::AppendEscaped(out, error);
    out.append("</error>");
}
