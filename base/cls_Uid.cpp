#include "base/cls_Uid.h"

#include <atomic>

static std::atomic<unsigned long> nextUid{1};

cls_Uid::cls_Uid() : value(nextUid.fetch_add(1)) {}

// A copy is a new object and gets an identifier of its own.
cls_Uid::cls_Uid(const cls_Uid&) : value(nextUid.fetch_add(1)) {}
