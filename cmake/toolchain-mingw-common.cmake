# What both mingw-w64 toolchains share; each sets VH_MINGW_PREFIX and the
# processor before including this.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VH_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VH_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VH_MINGW_PREFIX}-windres)
# The IDL compiler of mingw-w64-tools, for the type library.
set(VH_WIDL ${VH_MINGW_PREFIX}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${VH_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
