# Runs nimbrel-render once, as ctest's test render.NAME:
#   cmake -DTOOL=... [-DEMULATOR=a|b] -DFOLDER=... -DNAME=... -DARGS=a|b|c
#         -DSTATUS=N [-DERR=text] [-DERR_HAS=text] -P run_render_tool.cmake
# in FOLDER, and keeps NAME.args (one argument a line), NAME.out and NAME.err
# there for render_tool_test. Fails unless the exit status is STATUS, standard
# error is exactly ERR (one line) or holds ERR_HAS, and a failed run printed
# nothing on standard output. Lists arrive with '|' for ';', and ERR with
# "{semicolon}" for ';'.
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" emulator "${EMULATOR}")
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" "\n" lines "${ARGS}")
string(REPLACE "{semicolon}" ";" ERR "${ERR}")
file(WRITE ${FOLDER}/${NAME}.args "${lines}\n")
execute_process(COMMAND ${emulator} ${TOOL} ${args} WORKING_DIRECTORY ${FOLDER}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(WRITE ${FOLDER}/${NAME}.out "${out}")
file(WRITE ${FOLDER}/${NAME}.err "${err}")
string(REPLACE "\r" "" out "${out}")
string(REPLACE "\r" "" err "${err}")

set(problems "")
if(NOT status STREQUAL STATUS)
  string(APPEND problems "exit status ${status}, expected ${STATUS}\n")
endif()
if(DEFINED ERR AND NOT ERR STREQUAL "" AND NOT err STREQUAL "${ERR}\n")
  string(APPEND problems "standard error is not the expected line\n  ${ERR}\n")
endif()
if(DEFINED ERR_HAS AND NOT ERR_HAS STREQUAL "")
  string(FIND "${err}" "${ERR_HAS}" at)
  if(at EQUAL -1)
    string(APPEND problems "standard error lacks\n  ${ERR_HAS}\n")
  endif()
endif()
if(NOT STATUS EQUAL 0 AND NOT out STREQUAL "")
  string(APPEND problems "a failed run printed on standard output\n")
endif()
if(problems)
  message(FATAL_ERROR "nimbrel-render ${args}\n${problems}standard output:\n${out}\nstandard error:\n${err}")
endif()
