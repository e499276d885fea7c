# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain
# (package g++-mingw-w64-x86-64-posix). Only for testing: the wine tests run
# this build where the machine cannot execute 32-bit code. The programs
# handed out are the 32-bit ones (cmake/mingw-i686.cmake).
#
#   cmake -S . -B build-windows64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# As in mingw-i686.cmake: the POSIX thread model, named outright.
set(RCDRIVE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RCDRIVE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RCDRIVE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RCDRIVE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RCDRIVE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
