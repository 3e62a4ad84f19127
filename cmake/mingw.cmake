# Cross build for Windows with MinGW-w64, posix thread model, so that
# std::thread works; the runtime is linked statically into each executable.
# Included by the toolchain files, which name the processor.
set(CMAKE_SYSTEM_NAME Windows)

set(TOOLCHAIN_PREFIX ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine: its own loader for the build's word size
# (Debian's "wine" starts the 32-bit one whenever it is installed).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  find_program(WINE_PROGRAM wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
else()
  find_program(WINE_PROGRAM wine REQUIRED)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
