# Read by cpack once for each generator it runs.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()

# Every date in a package is the last commit's, so that the same commit gives
# the same bytes whenever it is packed: cpack's archives read
# SOURCE_DATE_EPOCH, and so do strip's PE time stamps.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_WATCHDOG_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_failed ERROR_QUIET)
  if(git_failed OR NOT commit_time MATCHES "^[0-9]+$")
    message(WARNING "Not a git checkout: the package carries today's dates. "
                    "Set SOURCE_DATE_EPOCH to rebuild a release.")
  else()
    set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  endif()
endif()
