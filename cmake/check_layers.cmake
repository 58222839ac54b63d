# Fails when a file includes across a forbidden arrow. The library's rooms
# include only downward: shader/ may include input/, sample/ and host/;
# input/ and sample/ only host/ (never each other); host/ nothing else.
# Everything around the library (renderer/, tools/, bench/, fuzz/) reaches it
# only through its public headers, and may use the tests' reference and BMP
# writer.
#   cmake -DSOURCE_DIR=<tree> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
set(allowed_shader shader input sample host)
set(allowed_input input host)
set(allowed_sample sample host)
set(allowed_host host)
set(public_headers sample/sample_exchange.h host/host_api.h
  tests/support/reference.h tests/support/bmp_writer.h)
set(library_rooms shader input sample host)
set(outside_rooms renderer tools bench fuzz)

set(violations "")
foreach(room IN LISTS library_rooms outside_rooms)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${room}/*.h ${SOURCE_DIR}/${room}/*.cpp
    ${SOURCE_DIR}/${room}/*.c)
  foreach(file IN LISTS files)
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
      if(NOT included MATCHES "/")
        continue() # a file beside it, or a generated one
      endif()
      string(REGEX REPLACE "/.*" "" target_room "${included}")
      if(room IN_LIST library_rooms)
        if(NOT target_room IN_LIST allowed_${room})
          list(APPEND violations "${name} includes ${included}")
        endif()
      elseif(target_room IN_LIST library_rooms OR target_room STREQUAL "tests")
        if(NOT included IN_LIST public_headers)
          list(APPEND violations "${name} includes ${included}")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "includes across a forbidden arrow:\n  ${text}")
endif()
message(STATUS "layers: every include runs downward")
