# 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686-posix); tests run under Wine.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-i686.cmake ...
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QORKEL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
