#ifndef JCL_JCL_ENTITY_H
#define JCL_JCL_ENTITY_H

#include "base/base_Export.h"
#include "base/cow_String.h"

class jcl_Node;

// What every stanza shares: the four addressing attributes and the way they are
// written. A kind of stanza is built empty and filled through setters when it is
// sent, or from a received element tree.
class QORKEL_API jcl_Entity {
public:
    jcl_Entity();
    virtual ~jcl_Entity();

    virtual cow_String GetTypeName() const = 0;
    virtual cow_String Serialize() const = 0;

    void SetTo(const cow_String& value) { to = value; }
    void SetType(const cow_String& value) { type = value; }
    // Appends the non-empty attributes, always in the order to, from, type, id, each
    // escaped: addresses and ids come from callers and peers, not from XML.
    void WriteAttributes(cow_String& out) const;

    cow_String from;
    cow_String to;
    cow_String id;
    cow_String type;

protected:
    jcl_Entity(const jcl_Entity&) = default;
    jcl_Entity& operator=(const jcl_Entity&) = default;

    // Copies "to", "from", "id" and "type" in the given order, each only when present.
    void ReadAttributes(const jcl_Node& node, const char* const order[4]);
    // Decimal text as the standard conversion reads it (leading blanks, optional
    // sign, digits up to the first other character), clamped to the int range so
    // that a peer's oversized number cannot overflow.
    static int ToInt(const cow_String& text);
    // An element holding value as text, escaped.
    static void AppendEscapedElement(cow_String& out, const char* name, const cow_String& value);
    // The error element with its code, the text escaped; nothing when the text is empty.
    static void AppendError(cow_String& out, int code, const cow_String& error);
};

#endif
