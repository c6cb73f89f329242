# Cross-builds Vornhall.dll for 64-bit Windows (PE32+) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VH_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
