# 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix). The tests run under
# Wine's 64-bit loader, for machines that cannot execute 32-bit x86 code.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QORKEL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Debian's wine front end picks the 32-bit loader whenever it is installed, even where
# it cannot run; the 64-bit loader must also be the one Wine starts child processes with.
# The path is where the Windows stage's root (scripts/windows-root) puts it when the tests
# run, whether or not this machine has Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64)
