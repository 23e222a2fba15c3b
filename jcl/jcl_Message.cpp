#include "jcl/jcl_Message.h"

#include "jcl/jcl_Node.h"
#include "xml/xml_Text.h"

jcl_Message::jcl_Message() : errorCode(0) {}

jcl_Message::jcl_Message(const jcl_Node& node) : errorCode(0) {
    if (node.GetTagName() != "message")
        return;
    static const char* const order[4] = {"to", "from", "id", "type"};
    ReadAttributes(node, order);
    const int count = node.children.Count();
    for (int i = 0; i < count; ++i) {
        const jcl_Node& child = node.children.ConstGet(i);
        const cow_String& name = child.GetTagName();
        if (name == "subject") {
            subject = child.text;
        } else if (name == "body") {
            body = child.text;
        } else if (name == "error") {
            error = child.text;
            errorCode = ToInt(child.attributes.ConstGet("code"));
        } else if (name == "x") {
            AppendX(child);
        }
    }
}

jcl_Message::~jcl_Message() = default;

cow_String jcl_Message::GetTypeName() const {
    return "message";
}

// The values come decoded from the parser; escaped again, x reads as the XML it arrived as.
void jcl_Message::AppendX(const jcl_Node& element) {
    x.append("<");
    x.append(element.GetTagName());
    cow_Map<cow_String, cow_String>::ConstIterator attribute(element.attributes);
    for (attribute.First(); !attribute.IsDone(); attribute.Next()) {
        x.append(" ");
        x.append(attribute.Key());
        x.append("=\"");
        xml_Text::AppendParsedAttribute(x, attribute.Value());
        x.append("\"");
    }
    x.append(">");
    xml_Text::AppendParsedText(x, element.text);
    const int count = element.children.Count();
    for (int i = 0; i < count; ++i)
        AppendX(element.children.ConstGet(i));
    x.append("</");
    x.append(element.GetTagName());
    x.append(">\n");
}

cow_String jcl_Message::Serialize() const {
    cow_String out("<message");
    WriteAttributes(out);
    out.append(">");
    AppendEscapedElement(out, "subject", subject);
    AppendEscapedElement(out, "body", body);
    AppendError(out, errorCode, error);
    if (!x.IsEmpty()) {
        out.append("<x xmlns=\"zorvik:msg\">");
        out.append(x);
        out.append("</x>");
    }
    out.append("</message>\n");
    return out;
}
