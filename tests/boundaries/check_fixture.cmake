# check_boundaries.cmake on tree/: each no_* file holds one refused include and names the
# reason on its first line ("// refused: ..."); the ok_* files hold allowed ones. The whole
# tree must fail with exactly the no_* files, each for its reason, and leave no stamp; the
# ok_* files alone must pass and leave the stamp.
# cmake -DCHECK=<check_boundaries.cmake> -DFOLDERS=<folders> -DWORK=<dir> -P check_fixture.cmake
cmake_minimum_required(VERSION 3.22)
set(tree ${CMAKE_CURRENT_LIST_DIR}/tree)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run_check source stamp)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${source} -DFOLDERS=${FOLDERS} -DSTAMP=${stamp}
            -P ${CHECK}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(rc "${rc}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(failures "")
run_check(${tree} ${WORK}/mixed.stamp)
if(rc EQUAL 0)
  string(APPEND failures "\nthe tree with refused includes passed")
endif()
if(EXISTS ${WORK}/mixed.stamp)
  string(APPEND failures "\nthe tree with refused includes left the stamp")
endif()

set(report "${out}")
# Reported lines: "    <file>: #include ...  (<reason>)".
string(REGEX MATCHALL "[^\n]*: #[^\n]*" reported "${report}")
set(reported_files "")
foreach(line ${reported})
  string(REGEX REPLACE "^ *([^:]+): .*$" "\\1" name "${line}")
  list(APPEND reported_files ${name})
endforeach()

file(GLOB_RECURSE refused RELATIVE ${tree} ${tree}/*/no_*)
list(SORT refused)
foreach(name ${refused})
  file(STRINGS ${tree}/${name} why LIMIT_COUNT 1 REGEX "^// refused: ")
  string(REPLACE "// refused: " "" why "${why}")
  set(found FALSE)
  foreach(line ${reported})
    string(FIND "${line}" " ${name}: " at)
    string(FIND "${line}" "(${why})" reason_at)
    if(at GREATER_EQUAL 0 AND reason_at GREATER at)
      set(found TRUE)
    endif()
  endforeach()
  if(NOT found)
    string(APPEND failures "\nnot reported as \"${why}\": ${name}")
  endif()
endforeach()
foreach(name ${reported_files})
  if(NOT name IN_LIST refused)
    string(APPEND failures "\nreported though allowed: ${name}")
  endif()
endforeach()
list(LENGTH refused expected_count)
list(LENGTH reported_files reported_count)
if(NOT reported_count EQUAL expected_count)
  string(APPEND failures "\n${reported_count} lines reported for ${expected_count} refused files")
endif()

file(COPY ${tree}/ DESTINATION ${WORK}/allowed FILES_MATCHING PATTERN "ok_*")
run_check(${WORK}/allowed ${WORK}/allowed.stamp)
if(NOT rc EQUAL 0 OR NOT EXISTS ${WORK}/allowed.stamp)
  string(APPEND failures "\nthe allowed includes alone did not pass:\n${out}")
endif()

if(failures)
  message(FATAL_ERROR "check_boundaries.cmake on ${tree}:${failures}\n\nIts report:\n${report}")
endif()
message(STATUS "${expected_count} refused includes reported, the allowed ones passed")
