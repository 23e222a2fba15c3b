#ifndef JCL_JCL_IQ_H
#define JCL_JCL_IQ_H

#include "base/base_Export.h"
#include "jcl/jcl_Entity.h"

// An iq stanza with one query child; the client sends it to register and to log in.
// The query's fields are account names, passwords and resources, written escaped.
class QORKEL_API jcl_IQ : public jcl_Entity {
public:
    jcl_IQ();
    // Empty unless node is an "iq" element.
    explicit jcl_IQ(const jcl_Node& node);
    ~jcl_IQ() override;

    cow_String GetTypeName() const override;
    cow_String Serialize() const override;

    void SetQueryNamespace(const cow_String& value) { queryNamespace = value; }
    void SetUsername(const cow_String& value) { username = value; }
    void SetPassword(const cow_String& value) { password = value; }
    void SetResource(const cow_String& value) { resource = value; }
    void SetName(const cow_String& value) { name = value; }
    void SetEmail(const cow_String& value) { email = value; }

    cow_String queryNamespace;
    cow_String username;
    cow_String password;
    cow_String resource;
    cow_String name;
    cow_String error;
    int errorCode;
    cow_String first;
    cow_String last;
    cow_String nick;
    cow_String email;

private:
    void ReadQuery(const jcl_Node& query);
};

#endif
