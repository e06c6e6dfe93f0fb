# Runs inside CPack after the install into the staging tree: Debian wants
# manual pages compressed with gzip -9n (no name or time stamp, so that the
# package is reproducible).  `cmake --install` leaves them uncompressed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(gzip_program gzip)
if(NOT gzip_program)
  message(WARNING "gzip not found: the manual pages stay uncompressed")
  return()
endif()
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.[1-9]")
list(FILTER pages INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page IN LISTS pages)
  execute_process(COMMAND ${gzip_program} -9nf ${page} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${page}")
  endif()
endforeach()
