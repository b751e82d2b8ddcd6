# Run by cpack once it has put the files in place, before it packs them: the
# installer keeps each file's date, so each one gets SOURCE_DATE_EPOCH's, and
# so does a copy of the installer's helper (the build's own keeps its date,
# which make goes by).
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND CMAKE_HOST_UNIX)
  file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  if(CPACK_WATCHDOG_SETUP_HELPER)
    file(COPY "${CPACK_WATCHDOG_SETUP_HELPER}" DESTINATION "${CPACK_TOPLEVEL_DIRECTORY}/helper")
    set(CPACK_WATCHDOG_SETUP_HELPER "${CPACK_TOPLEVEL_DIRECTORY}/helper/setuphelper.exe")
    list(APPEND staged "${CPACK_WATCHDOG_SETUP_HELPER}")
  endif()
  execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
