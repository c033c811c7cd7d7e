# Cross toolchain for 64-bit Windows with Debian's mingw-w64. Not shipped: it runs the Windows
# tests under 64-bit Wine on machines whose kernel cannot run 32-bit x86 code, which Wine's
# 32-bit side needs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(XOL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
