# Compiles header_use.cpp with COMPILER against the public header in INCLUDE_DIR (syntax only, no
# link), first as it stands, then once with a call of each of the Linux library's extra exports.
#   EXPECT  hidden: each call fails to compile, naming the undeclared function;
#           offered: each call compiles.
cmake_minimum_required(VERSION 3.25)
set(ENV{LC_ALL} C) # the compiler's diagnostics in plain ASCII quotes
set(source ${CMAKE_CURRENT_LIST_DIR}/header_use.cpp)
set(flags -std=c++11 -Wall -Wextra -Werror -fsyntax-only -I${INCLUDE_DIR})

execute_process(COMMAND ${COMPILER} ${flags} ${source} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the header does not compile for a host:\n${err}")
endif()

set(failures "")
foreach(name copyMessage vemoapi_alloc vemoapi_dealloc)
  execute_process(COMMAND ${COMPILER} ${flags} -DUSE_${name} ${source}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(EXPECT STREQUAL "hidden")
    if(rc EQUAL 0)
      string(APPEND failures "a call of ${name} compiles\n")
    elseif(NOT err MATCHES "'${name}' was not declared")
      string(APPEND failures "a call of ${name} fails otherwise than undeclared:\n${err}\n")
    endif()
  elseif(NOT rc EQUAL 0)
    string(APPEND failures "a call of ${name} does not compile:\n${err}\n")
  endif()
  message(STATUS "${name}: ${EXPECT}")
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
