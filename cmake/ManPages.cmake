# Manual pages made from the programs' own --help and --version texts with help2man, so
# that the help is written once. veltrane_man_page(TARGET NAME SUMMARY) runs the built
# TARGET and writes man/man1/NAME.1.gz in the build tree (gzip -9n, as Debian wants);
# VELTRANE_MAN_PAGES lists the pages made so far.
find_program(HELP2MAN help2man REQUIRED)  # package help2man
find_program(GZIP gzip REQUIRED)

set(VELTRANE_MAN_DIR ${CMAKE_BINARY_DIR}/man/man1)
set(VELTRANE_MAN_PAGES "")

function(veltrane_man_page target name summary)
  set(page ${VELTRANE_MAN_DIR}/${name}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELTRANE_MAN_DIR}
    # The page's date comes from SOURCE_DATE_EPOCH when the build sets it (reproducible).
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${summary}
            --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${GZIP} -9 -n -f ${page}
    DEPENDS ${target}
    COMMENT "Manual page ${name}(1)"
    VERBATIM)
  add_custom_target(man_${target} ALL DEPENDS ${page}.gz)
  set(VELTRANE_MAN_PAGES ${VELTRANE_MAN_PAGES} ${page}.gz PARENT_SCOPE)
endfunction()
