# Shared by the MinGW-w64 toolchain files; they set QORKEL_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model is the one whose libstdc++ has std::thread and std::mutex.
set(CMAKE_C_COMPILER ${QORKEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QORKEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QORKEL_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${QORKEL_MINGW_TRIPLET}-objdump CACHE FILEPATH "objdump for the target")

# Dependencies built for the target are installed under QORKEL_WINDOWS_DEPS.
set(CMAKE_FIND_ROOT_PATH /usr/${QORKEL_MINGW_TRIPLET})
if(QORKEL_WINDOWS_DEPS)
    list(PREPEND CMAKE_FIND_ROOT_PATH ${QORKEL_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into each binary, so that the DLL and the
# test programs need nothing but the system DLLs at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
