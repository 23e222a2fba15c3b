#ifndef BASE_CLS_UID_H
#define BASE_CLS_UID_H

#include "base/base_Export.h"

// A process-unique identifier, one per exception object, so that a report can
// tell one raise from another.
class QORKEL_API cls_Uid {
public:
    cls_Uid();
    cls_Uid(const cls_Uid& other);
    cls_Uid& operator=(const cls_Uid&) { return *this; }

    unsigned long Value() const { return value; }

private:
    unsigned long value;
};

#endif
