# Run by cpack once it has put the files in place, before it packs them: the
# installer keeps each file's date, so each one gets SOURCE_DATE_EPOCH's.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND CMAKE_HOST_UNIX)
  file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
