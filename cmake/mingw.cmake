# What both MinGW-w64 toolchain files share; each sets RCDRIVE_MINGW_PREFIX
# (i686-w64-mingw32, x86_64-w64-mingw32) and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The compilers with the POSIX thread model, named outright rather than
# through the system's alternatives: the win32 model's C++ library has no
# std::mutex, which GoogleTest needs. The programs link its thread library in
# statically, like the C++ runtime, so they still need no DLL of it.
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
