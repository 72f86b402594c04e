# cmake -DSOURCE_DIR=... -DLIST=... -DOUTPUT_DIR=... -P stage_headers.cmake
#
# Copies the public headers LIST names (paths relative to SOURCE_DIR, as a
# CMake list) to OUTPUT_DIR/brightkeep/, rewriting each include of another
# public header ("log/rollback_log.h") to <brightkeep/log/rollback_log.h>.
# An include of a header of the source tree that is not public fails: the
# installed header could not be compiled.
cmake_minimum_required(VERSION 3.25)
file(READ ${LIST} headers)
file(REMOVE_RECURSE ${OUTPUT_DIR}/brightkeep)
foreach(header IN LISTS headers)
  file(READ ${SOURCE_DIR}/${header} text)
  string(REGEX MATCHALL "\n#include \"[^\"]+\"" includes "${text}")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE ".*\"(.+)\"" "\\1" included "${include}")
    if(NOT included IN_LIST headers)
      message(FATAL_ERROR "${header} includes \"${included}\", which is not installed")
    endif()
  endforeach()
  string(REGEX REPLACE "\n#include \"([^\"]+)\"" "\n#include <brightkeep/\\1>" text "${text}")
  file(WRITE ${OUTPUT_DIR}/brightkeep/${header} "${text}")
endforeach()
