# Cross toolchain for the shipped Windows build: 32-bit Windows with Debian's mingw-w64. ctest
# runs the test programs under Wine (its 32-bit side).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(XOL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
