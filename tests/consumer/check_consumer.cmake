# Installs the build in BUILD_DIR into a scratch prefix, then configures and
# builds the calling shader in CONSUMER_DIR against it with the same toolchain.
cmake_minimum_required(VERSION 3.25)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed:\n${out}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(options -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
  -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN)
  list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
if(CROSSCOMPILING)
  # A cross toolchain searches its own root only; a staging prefix is searched too.
  list(APPEND options -DCMAKE_STAGING_PREFIX=${prefix})
endif()
run("configuring the calling shader" ${CMAKE_COMMAND} ${options})
run("building the calling shader" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
message(STATUS "calling shader built against ${prefix}")
