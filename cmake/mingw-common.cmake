# Shared part of the mingw-w64 toolchain files: set XOL_MINGW_TRIPLET, CMAKE_SYSTEM_PROCESSOR and
# CMAKE_CROSSCOMPILING_EMULATOR, then include this file.
#
# Debian's compilers with the posix thread model (the win32 model lacks std::thread and
# std::mutex). Everything is linked statically, so the DLL and the programs need nothing at run
# time beyond the system's own KERNEL32, USER32 and msvcrt.
#
# Boost has no mingw package: point XOL_MINGW_BOOST_ROOT (cache variable or environment) at the
# prefix of a static mingw Boost build for the same triplet, as tools/wintest.sh makes one.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${XOL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${XOL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${XOL_MINGW_TRIPLET}-windres)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

if(NOT XOL_MINGW_BOOST_ROOT AND DEFINED ENV{XOL_MINGW_BOOST_ROOT})
  set(XOL_MINGW_BOOST_ROOT $ENV{XOL_MINGW_BOOST_ROOT})
endif()
# try_compile projects read the toolchain file again without the cache: hand the prefix on.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XOL_MINGW_BOOST_ROOT)

set(CMAKE_FIND_ROOT_PATH /usr/${XOL_MINGW_TRIPLET} ${XOL_MINGW_BOOST_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
