#ifndef COW_COW_LISTCONSTRUCT_H
#define COW_COW_LISTCONSTRUCT_H

// Selects the cow_List constructor that sizes the storage for an expected number of
// elements; the value itself is never examined.
enum cow_ListConstruct { cow_ListSized };

#endif
