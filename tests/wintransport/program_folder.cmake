# Runs a test program from a folder named by CASE, with a libusb-1.0.dll beside it or in a folder
# that a wrong reading of the program's path would lead to.
# -DEMULATOR (wine) -DPROGRAM (the test program) -DLIBUSB (a libusb-1.0.dll) -DROOT (scratch folder)
# -DCASE:
#   best_fit      "prōg" holds the program, "prog" (its name in the ANSI code page) the library
#   outside_acp   a name the ANSI code page has no characters for, the library beside the program
#   long_beside   a path longer than MAX_PATH, the library beside the program
#   current_folder  the library in the folder the program is started in, not beside it
file(REMOVE_RECURSE ${ROOT})
if(CASE STREQUAL "best_fit")
  set(program_dir ${ROOT}/prōg)
  set(library_dir ${ROOT}/prog)
elseif(CASE STREQUAL "outside_acp")
  set(program_dir ${ROOT}/Дом)
  set(library_dir ${program_dir})
elseif(CASE STREQUAL "long_beside")
  string(REPEAT "d" 200 deep_name)
  set(program_dir ${ROOT}/${deep_name}/${deep_name})
  set(library_dir ${program_dir})
elseif(CASE STREQUAL "current_folder")
  set(program_dir ${ROOT}/program)
  set(library_dir ${ROOT})
else()
  message(FATAL_ERROR "unknown CASE ${CASE}")
endif()
file(MAKE_DIRECTORY ${program_dir} ${library_dir})
get_filename_component(program_name ${PROGRAM} NAME)
file(COPY ${PROGRAM} DESTINATION ${program_dir})
file(COPY ${LIBUSB} DESTINATION ${library_dir})
execute_process(COMMAND ${EMULATOR} ${program_dir}/${program_name} WORKING_DIRECTORY ${ROOT}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${program_name} from ${program_dir}: ${result}")
endif()
