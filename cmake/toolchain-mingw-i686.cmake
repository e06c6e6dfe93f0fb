# Cross-builds statically linked 32-bit Windows console programs, tessel.exe
# and untessel.exe, with Debian's MinGW-w64 compiler, and runs them under
# Wine for the tests:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake

set(CMAKE_SYSTEM_PROCESSOR i686)
set(TESSEL_MINGW_PREFIX i686-w64-mingw32)
# The `wine` command runs 32-bit programs with the 32-bit Wine loader.
set(TESSEL_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
