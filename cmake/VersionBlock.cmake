# Every binary we build carries a version block in the ELF section ".zerv_version",
# stamped from the project version. lib/platform/version_resource.cpp reads it back.
set(ZERV_VERSION_BLOCK_SOURCE ${CMAKE_BINARY_DIR}/generated/zerv_version_block.c)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version_block.c.in ${ZERV_VERSION_BLOCK_SOURCE} @ONLY)

function(zerv_stamp_version target)
  target_sources(${target} PRIVATE ${ZERV_VERSION_BLOCK_SOURCE})
endfunction()
