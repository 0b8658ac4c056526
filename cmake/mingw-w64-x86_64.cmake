# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX
# threads variant of g++-mingw-w64-x86-64). Programs are linked statically,
# so that each is one file that needs no DLL beside the system's own, and run
# under wine64 where CTest runs them here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_ASM_COMPILER ${triple}-gcc-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads go into the program file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's loader of 64-bit Windows programs.
find_program(FLASHUTIL_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT FLASHUTIL_WINE)
  find_program(FLASHUTIL_WINE NAMES wine64 wine)
endif()
if(FLASHUTIL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHUTIL_WINE})
endif()
