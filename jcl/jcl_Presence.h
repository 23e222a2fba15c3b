#ifndef JCL_JCL_PRESENCE_H
#define JCL_JCL_PRESENCE_H

#include "base/base_Export.h"
#include "jcl/jcl_Entity.h"

// A presence stanza. priority is read from received presences and never written; show
// and status are texts and are written escaped.
class QORKEL_API jcl_Presence : public jcl_Entity {
public:
    jcl_Presence();
    // Empty unless node is a "presence" element.
    explicit jcl_Presence(const jcl_Node& node);
    ~jcl_Presence() override;

    cow_String GetTypeName() const override;
    cow_String Serialize() const override;

    cow_String status;
    cow_String show;
    int priority;
};

#endif
