# What the MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR,
# TESSEL_MINGW_PREFIX (the compiler's target triplet) and TESSEL_WINE_NAMES
# (the Wine programs that run its executables, best first) before including
# this file.
#
# The win32 thread flavour of the compiler is used: tessel has one thread,
# and that flavour needs no threading library, so nothing but the system's
# own DLLs (kernel32, msvcrt) is left to load at run time.

set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${TESSEL_MINGW_PREFIX}-gcc-win32 ${TESSEL_MINGW_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${TESSEL_MINGW_PREFIX}-g++-win32 ${TESSEL_MINGW_PREFIX}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${TESSEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the executable under Wine, in a Wine prefix of the build tree's
# own, so that nothing outside it is touched.  WINEDEBUG=-all keeps Wine's
# diagnostics off the standard error that the tests compare byte for byte,
# and the empty overrides stop Wine from offering to install Mono and Gecko.
# Debian keeps its loaders in /usr/lib/wine, out of the PATH.
find_program(TESSEL_WINE NAMES ${TESSEL_WINE_NAMES} PATHS /usr/lib/wine)
if(NOT TESSEL_WINE)
  list(GET TESSEL_WINE_NAMES 0 TESSEL_WINE)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
        WINEDLLOVERRIDES=mscoree,mshtml= ${TESSEL_WINE})
