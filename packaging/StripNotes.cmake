# Run by cpack before each package is made (CPACK_PRE_BUILD_SCRIPTS): removes the
# compilers' .comment and .note sections from the programs, tools and the library, as Debian's
# own builds do; CPACK_STRIP_FILES has stripped their symbols already.
file(GLOB_RECURSE binaries LIST_DIRECTORIES false
  "${CPACK_TEMPORARY_DIRECTORY}/*.exe" "${CPACK_TEMPORARY_DIRECTORY}/*.so"
  "${CPACK_TEMPORARY_DIRECTORY}/ocs-client" "${CPACK_TEMPORARY_DIRECTORY}/veltrane-check")
foreach(binary ${binaries})
  if(IS_SYMLINK "${binary}")
    continue()
  endif()
  execute_process(
    COMMAND "${CPACK_VELTRANE_STRIP}" --remove-section=.comment --remove-section=.note "${binary}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip failed on ${binary}")
  endif()
endforeach()
