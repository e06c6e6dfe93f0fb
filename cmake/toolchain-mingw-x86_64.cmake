# Cross-builds the same programs for 64-bit Windows, and runs them under
# 64-bit Wine for the tests (scripts/check-windows uses it where the kernel
# cannot run 32-bit programs):
#
#   cmake -S . -B build-windows64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESSEL_MINGW_PREFIX x86_64-w64-mingw32)
# The 64-bit Wine loader itself: Debian's `wine` command prefers the 32-bit
# loader whenever it is installed, and that loader does not start on a
# kernel without 32-bit support, even for a 64-bit program.
set(TESSEL_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
