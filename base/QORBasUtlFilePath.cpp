#include "base/QORBasUtlFilePath.h"

#include <filesystem>
#include <system_error>
#include <utility>

QORBasUtlFilePath::QORBasUtlFilePath(cow_String fileName, cow_String directory)
    : fileName(std::move(fileName)), directory(std::move(directory)) {}

cow_String QORBasUtlFilePath::AbsolutePathName() const {
    namespace fs = std::filesystem;
    fs::path path = directory.IsEmpty() ? fs::path(fileName.c_str())
                                        : fs::path(directory.c_str()) / fileName.c_str();
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error)
        absolute = path; // let the caller's open fail with the name it asked for
    return cow_String(absolute.lexically_normal().string().c_str());
}
