#include "jcl/jcl_IQ.h"

#include "jcl/jcl_Node.h"
#include "xml/xml_Text.h"

jcl_IQ::jcl_IQ() : errorCode(0) {}

jcl_IQ::jcl_IQ(const jcl_Node& node) : errorCode(0) {
    if (node.GetTagName() != "iq")
        return;
    static const char* const order[4] = {"to", "from", "type", "id"};
    ReadAttributes(node, order);
    const int count = node.children.Count();
    for (int i = 0; i < count; ++i) {
        const jcl_Node& child = node.children.ConstGet(i);
        if (child.GetTagName() == "query") {
            ReadQuery(child);
        } else if (child.GetTagName() == "error") {
            error = child.text;
            errorCode = ToInt(child.attributes.ConstGet("code"));
        }
    }
}

jcl_IQ::~jcl_IQ() = default;

void jcl_IQ::ReadQuery(const jcl_Node& query) {
    queryNamespace = query.attributes.ConstGet("xmlns");
    struct Field {
        const char* element;
        cow_String jcl_IQ::*member;
    };
    static const Field fields[] = {
        {"username", &jcl_IQ::username}, {"password", &jcl_IQ::password}, {"name", &jcl_IQ::name},
        {"first", &jcl_IQ::first},       {"last", &jcl_IQ::last},         {"nick", &jcl_IQ::nick},
        {"email", &jcl_IQ::email},       {"resource", &jcl_IQ::resource},
    };
    const int count = query.children.Count();
    for (int i = 0; i < count; ++i) {
        const jcl_Node& child = query.children.ConstGet(i);
        for (const Field& field : fields) {
            if (child.GetTagName() == field.element) {
                this->*field.member = child.text;
                break;
            }
        }
    }
}

cow_String jcl_IQ::GetTypeName() const {
    return "IQ";
}

cow_String jcl_IQ::Serialize() const {
    cow_String out("<iq");
    WriteAttributes(out);
    out.append("><query xmlns=\"");
    xml_Text::AppendEscaped(out, queryNamespace);
    out.append("\">");
    AppendEscapedElement(out, "username", username);
    AppendEscapedElement(out, "password", password);
    AppendEscapedElement(out, "resource", resource);
    AppendEscapedElement(out, "name", name);
    AppendEscapedElement(out, "first", first);
    AppendEscapedElement(out, "last", last);
    AppendEscapedElement(out, "nick", nick);
    AppendEscapedElement(out, "email", email);
    out.append("</query>");
    AppendError(out, errorCode, error);
    out.append("</iq>\n");
    return out;
}
