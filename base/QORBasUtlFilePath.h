#ifndef BASE_QORBASUTLFILEPATH_H
#define BASE_QORBASUTLFILEPATH_H

#include "base/base_Export.h"
#include "base/cow_String.h"

// A file name placed in a directory. An empty directory means the current one.
class QORKEL_API QORBasUtlFilePath {
public:
    QORBasUtlFilePath(cow_String fileName, cow_String directory);

    cow_String AbsolutePathName() const;

private:
    cow_String fileName;
    cow_String directory;
};

#endif
