#ifndef JCL_JCL_NODE_H
#define JCL_JCL_NODE_H

#include "base/base_Export.h"
#include "base/cow_Map.h"
#include "base/cow_String.h"
#include "cow/cow_List.h"

class jcl_Node;

// The list of children is instantiated once, inside the library.
// A Windows host makes its own: MinGW imports the inline members of an imported instantiation,
// which the DLL does not export.
#if !defined(_WIN32) || defined(QORKEL_BUILDING) || defined(QORKEL_STATIC)
extern template class QORKEL_API cow_List<jcl_Node>;
#endif

// One XML element held in memory. Every member shares its storage on copy, so a
// node, even the root of a large tree, is copied in constant time.
class QORKEL_API jcl_Node {
public:
    jcl_Node();
    jcl_Node(const jcl_Node& other);
    // Takes other's members without touching their counters; other is left with no tag
    // name, text or attributes, and with its children shared with the new node.
    jcl_Node(jcl_Node&& other);
    jcl_Node& operator=(const jcl_Node& other);
    jcl_Node& operator=(jcl_Node&& other);
    ~jcl_Node();

    const cow_String& GetTagName() const { return tagName; }
    void SetTagName(const cow_String& name);
    void InsertAttribute(const cow_String& name, const cow_String& value);

    // The child, made unshared so that the caller may change it; an index out of
    // range ends the process.
    jcl_Node& GetChild(int i);
    void Append(const jcl_Node& child);
    // The node reached by following the child indices of path; an empty path gives
    // this node.
    jcl_Node& Traverse(const cow_List<int>& path);

    // The subtree as XML text, written exactly as stored (no escaping). Writes one
    // diagnostic line per element to the console.
    cow_String Serialize() const;

    cow_Map<cow_String, cow_String> attributes;
    cow_String tagName;
    bool isRoot;
    cow_List<jcl_Node> children;
    cow_String text;
    // Non-owning link used by the stream reader while it builds a tree.
    jcl_Node* parent;

private:
    void SerializeInto(cow_String& out) const;
};

#endif
