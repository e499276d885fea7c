# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 toolchain
# (package g++-mingw-w64-i686):
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

# The compilers with the POSIX thread model, named outright rather than
# through the system's alternatives: the win32 model's C++ library has no
# std::mutex, which GoogleTest needs. The programs link its thread library in
# statically, like the C++ runtime, so they still need no DLL of it.
set(RCDRIVE_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${RCDRIVE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RCDRIVE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RCDRIVE_MINGW_PREFIX}-windres)

# Headers, libraries and packages come from the MinGW tree only, never from
# the host; programs (the build tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${RCDRIVE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
