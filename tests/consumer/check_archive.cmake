# Packs the build in BUILD_DIR with CPACK as GENERATOR and checks that the
# archive holds what a renderer user needs: the library (LIBRARY), its
# declaration, the shared record's header (with the file types) and the guide;
# on Windows (WINDOWS true) also bin/nimbrel-render.exe, which must render the
# demo from the unpacked archive, run through EMULATOR ('|' between its words)
# if given.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CPACK} -G ${GENERATOR} -B ${WORK_DIR} --config ${BUILD_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${BUILD_DIR} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${out}")
endif()
file(GLOB archives ${WORK_DIR}/Nimbrel-*)
list(FILTER archives EXCLUDE REGEX "_CPack_Packages")
list(LENGTH archives count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one archive in ${WORK_DIR}, found: ${archives}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${archives} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot list ${archives}")
endif()
message(STATUS "${archives}:\n${listing}")
foreach(wanted IN ITEMS "lib/${LIBRARY}" "include/Nimbrel.mi" "include/nimbrel/sample_exchange.h"
                        "doc/Nimbrel/user-guide.md" "lib/cmake/Nimbrel/NimbrelConfig.cmake")
  string(FIND "${listing}" "/${wanted}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${archives} lacks ${wanted}")
  endif()
endforeach()

if(WINDOWS)
  foreach(wanted IN ITEMS "bin/nimbrel-render.exe" "bin/${LIBRARY}")
    string(FIND "${listing}" "/${wanted}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${archives} lacks ${wanted}")
    endif()
  endforeach()
  set(unpacked "${WORK_DIR}/unpacked here")
  file(MAKE_DIRECTORY ${unpacked})
  file(ARCHIVE_EXTRACT INPUT ${archives} DESTINATION ${unpacked})
  file(GLOB program "${unpacked}/*/bin/nimbrel-render.exe")
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  execute_process(COMMAND ${emulator} ${program} --quiet --scale 1 --step 2 --threads 2
                          --cache demo -o demo.png
    WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0 OR NOT EXISTS "${unpacked}/demo.png")
    message(FATAL_ERROR "${program} did not render the demo (status ${status}):\n${out}")
  endif()
  message(STATUS "${out}")
endif()
