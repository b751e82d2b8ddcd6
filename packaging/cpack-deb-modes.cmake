# Run by cpack after each package it makes, before cpack-sums.cmake: the
# .deb's members get the same mode whatever the umask (deb-modes.pl).
if(CPACK_GENERATOR STREQUAL "DEB")
  execute_process(COMMAND perl "${CMAKE_CURRENT_LIST_DIR}/deb-modes.pl" ${CPACK_PACKAGE_FILES}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
