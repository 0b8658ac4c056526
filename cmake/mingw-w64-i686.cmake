# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (the POSIX
# threads variant of g++-mingw-w64-i686). One 32-bit program runs on every
# Windows from XP SP3 to 11, 32-bit and 64-bit, and can load the 32-bit ASPI
# library (WNASPI32.DLL) of a system outside the NT family. Programs are
# linked statically, so that each is one file that needs no DLL beside the
# system's own, and run under 32-bit Wine (Debian's wine32) where CTest runs
# them here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(triple i686-w64-mingw32)
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

# Debian's loader of 32-bit Windows programs (package wine32). The tests'
# prefixes are 32-bit ones (tests/win/wine-prefix.sh), as on Windows XP.
find_program(FLASHUTIL_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT FLASHUTIL_WINE)
  find_program(FLASHUTIL_WINE NAMES wine)
endif()
if(FLASHUTIL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHUTIL_WINE})
endif()
