# The simulated-device beds. A test directory includes this file and declares its tests with
# xol_add_bed_test, which builds one binary per bed from the same sources:
#   <name>_umockdev  Debian's libusb over umockdev's simulated kernel
#   <name>_standin   the libusb stand-in, found through LD_LIBRARY_PATH (on Windows: built into
#                    the stand-in's folder, the one place the library loads libusb from)
# The sources get their bed from makeSimBed() (sim_bed.h); XOL_SIM_BED_<BED> tells them which.
include_guard(GLOBAL)

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
endif()

set(XOL_SIM_DIR ${CMAKE_CURRENT_LIST_DIR})
set(XOL_STANDIN_DIR ${CMAKE_CURRENT_LIST_DIR}/../standin)
set(XOL_STANDIN_LIB_DIR ${CMAKE_BINARY_DIR}/tests/standin/lib)

add_library(xol_sim STATIC ${XOL_SIM_DIR}/sim_device.cpp)
set_target_properties(xol_sim PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(xol_sim PUBLIC ${XOL_SIM_DIR})

if(NOT WIN32)
  # The umockdev preload library must be loaded from the start: it is linked in, not preloaded.
  add_library(xol_bed_umockdev STATIC ${XOL_SIM_DIR}/umockdev_bed.cpp)
  target_link_libraries(xol_bed_umockdev PUBLIC xol_sim PkgConfig::UMOCKDEV)
  target_link_options(xol_bed_umockdev INTERFACE -Wl,--no-as-needed -lumockdev-preload -Wl,--as-needed)
endif()

# The stand-in, named like libusb; variants lacking one function each live in folders of their
# own, for the tests of a libusb that misses it.
function(xol_standin_library target dir)
  add_library(${target} SHARED ${XOL_STANDIN_DIR}/standin_libusb.cpp ${XOL_STANDIN_DIR}/standin_packets.cpp)
  target_link_libraries(${target} PRIVATE xol_sim Threads::Threads)
  target_include_directories(${target} PUBLIC ${XOL_STANDIN_DIR})
  target_compile_definitions(${target} PRIVATE STANDIN_BUILDING=1)
  # No version: the file and its soname are both "libusb-1.0.so".
  set_target_properties(${target} PROPERTIES OUTPUT_NAME usb-1.0 LIBRARY_OUTPUT_DIRECTORY ${dir})
  if(WIN32)
    # "libusb-1.0.dll" in its own folder, with its import library, exporting libusb's names
    # undecorated as libusb does.
    target_include_directories(${target} PRIVATE ${XOL_LIBUSB_INCLUDE_DIR})
    set_target_properties(${target} PROPERTIES PREFIX lib RUNTIME_OUTPUT_DIRECTORY ${dir}
      ARCHIVE_OUTPUT_DIRECTORY ${dir})
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
endfunction()
xol_standin_library(xol_standin_libusb ${XOL_STANDIN_LIB_DIR})

add_library(xol_bed_standin STATIC ${XOL_STANDIN_DIR}/standin_bed.cpp)
target_link_libraries(xol_bed_standin PUBLIC xol_sim xol_standin_libusb)

# xol_add_bed_test(name SOURCES ... LIBS ... [BEDS umockdev standin] [ENV ...])
function(xol_add_bed_test name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;BEDS;ENV" ${ARGN})
  if(NOT B_BEDS)
    set(B_BEDS umockdev standin)
  endif()
  if(WIN32)
    # umockdev simulates the Linux kernel.
    list(REMOVE_ITEM B_BEDS umockdev)
  endif()
  foreach(bed ${B_BEDS})
    set(env ${B_ENV})
    if(bed STREQUAL "standin" AND NOT WIN32)
      list(APPEND env "LD_LIBRARY_PATH=${XOL_STANDIN_LIB_DIR}")
    endif()
    xol_add_test(${name}_${bed} SOURCES ${B_SOURCES} LIBS ${B_LIBS} xol_bed_${bed} ENV ${env})
    if(bed STREQUAL "standin" AND WIN32)
      set_target_properties(${name}_${bed} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${XOL_STANDIN_LIB_DIR})
    endif()
    string(TOUPPER ${bed} BED)
    target_compile_definitions(${name}_${bed} PRIVATE XOL_SIM_BED_${BED}=1)
    set_property(TEST ${name}_${bed} APPEND PROPERTY LABELS bed ${bed})
  endforeach()
endfunction()
