# Runs a test program from a folder whose path is longer than MAX_PATH, with a libusb-1.0.dll in
# the parent folder where the path would be cut short: the program must not load that one.
# -DEMULATOR (wine) -DPROGRAM (the test program) -DLIBUSB (a libusb-1.0.dll) -DROOT (scratch folder)
file(REMOVE_RECURSE ${ROOT})
set(parent ${ROOT}/parent)
file(MAKE_DIRECTORY ${parent})
# Wine names the folder Z: and the path's own characters: the cut at MAX_PATH - 1 falls inside
# the deep folder's name.
string(LENGTH "Z:${parent}/" prefix)
if(prefix GREATER 200)
  message(FATAL_ERROR "${parent} is too long to place the cut inside a folder name")
endif()
math(EXPR deep_length "300 - ${prefix}")
string(REPEAT "d" ${deep_length} deep_name)
set(deep ${parent}/${deep_name})
file(MAKE_DIRECTORY ${deep})
get_filename_component(program_name ${PROGRAM} NAME)
file(COPY ${PROGRAM} DESTINATION ${deep})
file(COPY ${LIBUSB} DESTINATION ${parent})
execute_process(COMMAND ${EMULATOR} ${deep}/${program_name} WORKING_DIRECTORY ${ROOT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${program_name} from a path longer than MAX_PATH: ${result}")
endif()
