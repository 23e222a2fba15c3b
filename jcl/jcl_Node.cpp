#include "jcl/jcl_Node.h"

#include "base/aio_ostream.h"

#include <utility>

template class cow_List<jcl_Node>;

jcl_Node::jcl_Node()
    : attributes(), tagName(), isRoot(false), children(cow_ListSized, 0), text(), parent(nullptr) {}

jcl_Node::jcl_Node(const jcl_Node& other)
    : attributes(other.attributes), tagName(other.tagName), isRoot(other.isRoot),
      children(other.children), text(other.text), parent(other.parent) {}

// The children are shared, not taken: an empty list left behind would cost an allocation,
// and sharing costs no atomic count.
jcl_Node::jcl_Node(jcl_Node&& other)
    : attributes(std::move(other.attributes)), tagName(std::move(other.tagName)),
      isRoot(other.isRoot), children(other.children), text(std::move(other.text)),
      parent(other.parent) {}

// other may lie inside this node's children, which the assignment releases: its members
// are taken out first.
jcl_Node& jcl_Node::operator=(jcl_Node&& other) {
    if (this == &other)
        return *this;
    jcl_Node taken(std::move(other));
    attributes = std::move(taken.attributes);
    tagName = std::move(taken.tagName);
    isRoot = taken.isRoot;
    children = taken.children;
    text = std::move(taken.text);
    parent = taken.parent;
    return *this;
}

jcl_Node& jcl_Node::operator=(const jcl_Node& other) {
    if (this != &other)
        *this = jcl_Node(other);
    return *this;
}

jcl_Node::~jcl_Node() = default;

void jcl_Node::SetTagName(const cow_String& name) {
    tagName = name;
}

void jcl_Node::InsertAttribute(const cow_String& name, const cow_String& value) {
    attributes.Insert(name, value);
}

jcl_Node& jcl_Node::GetChild(int i) {
    return children.Get(i);
}

void jcl_Node::Append(const jcl_Node& child) {
    children.Append(child);
}

jcl_Node& jcl_Node::Traverse(const cow_List<int>& path) {
    jcl_Node* current = this;
    const int steps = path.Count();
    for (int j = 0; j < steps; ++j)
        current = &current->GetChild(path.ConstGet(j));
    return *current;
}

cow_String jcl_Node::Serialize() const {
    cow_String out;
    SerializeInto(out);
    return out;
}

// One growing string for the whole subtree: serialising each child into a string
// of its own would copy every deeper level once per ancestor.
void jcl_Node::SerializeInto(cow_String& out) const {
    // One call per line, so that lines from other threads cannot split it.
    cow_String line("value");
    line.append(text);
    line.append("\n");
    aio_cout << line;
    aio_cout.flush();

    out.append("<");
    out.append(tagName);
    cow_Map<cow_String, cow_String>::ConstIterator attribute(attributes);
    for (attribute.First(); !attribute.IsDone(); attribute.Next()) {
        out.append(" ");
        out.append(attribute.Key());
        out.append("=\"");
        out.append(attribute.Value());
        out.append("\"");
    }
    out.append(">");
    out.append(text);
    out.append("\n");
    const int count = children.Count();
    for (int i = 0; i < count; ++i)
        children.ConstGet(i).SerializeInto(out);
    out.append("</");
    out.append(tagName);
    out.append(">\n");
}
