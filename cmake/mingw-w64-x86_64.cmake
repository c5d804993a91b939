# Cross build for 64-bit Windows with Debian's mingw-w64 (the POSIX thread model, for
# std::thread). Nothing is taken from the build machine's own /usr/include or libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QOR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QOR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QOR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QOR_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime, libgcc and the threads library go into each program, so that it runs on a
# bare Windows importing system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs and build-time checks run under wine, each in a private copy of one prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
