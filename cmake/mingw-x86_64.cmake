# Cross-compiles for 64-bit Windows with the mingw-w64 posix-thread toolchain; tests run under
# 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triplet x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian's wine64 package puts its loader outside PATH; the `wine` wrapper picks it for a 64-bit
# program, but naming it keeps a missing wine64 from passing for a 32-bit-only Wine.
find_program(TXSCREEN_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TXSCREEN_WINE})
