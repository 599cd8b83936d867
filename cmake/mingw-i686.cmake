# Cross-compiles for 32-bit Windows with the mingw-w64 posix-thread toolchain; tests run under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_triplet i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(TXSCREEN_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TXSCREEN_WINE})
