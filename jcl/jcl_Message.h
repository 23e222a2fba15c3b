#ifndef JCL_JCL_MESSAGE_H
#define JCL_JCL_MESSAGE_H

#include "base/base_Export.h"
#include "jcl/jcl_Entity.h"

// A message stanza. On sending, x is the content placed inside the library's
// extension element, written as given: it is the caller's XML. On receiving, it is
// every received x element written back as XML (start tag with its attributes in key
// order, the element's text before its children, each end tag followed by a line
// feed), texts and attribute values escaped. Subject, body, the error text and the
// addressing attributes are texts and are written escaped.
class QORKEL_API jcl_Message : public jcl_Entity {
public:
    jcl_Message();
    // Empty unless node is a "message" element.
    explicit jcl_Message(const jcl_Node& node);
    ~jcl_Message() override;

    cow_String GetTypeName() const override;
    cow_String Serialize() const override;

    void SetSubject(const cow_String& value) { subject = value; }
    void SetBody(const cow_String& value) { body = value; }
    void SetX(const cow_String& value) { x = value; }
    const cow_String& GetX() const { return x; }

    cow_String subject;
    cow_String body;
    cow_String error;
    cow_String x;
    int errorCode;

private:
    void AppendX(const jcl_Node& element);
};

#endif
