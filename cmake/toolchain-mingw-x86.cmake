# Cross-builds Vornhall.dll for 32-bit Windows (PE32) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VH_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
