# Run by cpack after cpack-dates.cmake, before it packs, for the Windows
# packages: with a code-signing certificate in the environment, or a signed
# build's detached signatures (tools/sign.sh says which variables), it signs
# the staged watchdog.exe and the installer's copy of its helper, and has
# makensis sign the uninstaller before it goes into the installer, and the
# installer (packaging/installer.nsi).
set(CPACK_WATCHDOG_SIGN "")
if(CPACK_WATCHDOG_SETUP_HELPER AND
   (NOT "$ENV{WATCHDOG_SIGN_PKCS12}" STREQUAL "" OR NOT "$ENV{WATCHDOG_SIGNATURES}" STREQUAL ""))
  set(CPACK_WATCHDOG_SIGN "${CPACK_WATCHDOG_SOURCE_DIR}/tools/sign.sh")
  # A copy, so that the build's own helper stays unsigned for the next run.
  if(NOT CPACK_WATCHDOG_SETUP_HELPER STREQUAL "${CPACK_TOPLEVEL_DIRECTORY}/helper/setuphelper.exe")
    file(COPY "${CPACK_WATCHDOG_SETUP_HELPER}" DESTINATION "${CPACK_TOPLEVEL_DIRECTORY}/helper")
    set(CPACK_WATCHDOG_SETUP_HELPER "${CPACK_TOPLEVEL_DIRECTORY}/helper/setuphelper.exe")
  endif()
  file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/watchdog.exe")
  set(signed ${programs})
  if(CPACK_GENERATOR STREQUAL "NSIS")
    list(APPEND signed "${CPACK_WATCHDOG_SETUP_HELPER}")
  endif()
  if(signed)
    execute_process(COMMAND "${CPACK_WATCHDOG_SIGN}" ${signed} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  # Signed files are dated as the rest (cpack-dates.cmake).
  if(signed AND DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND touch -d "@$ENV{SOURCE_DATE_EPOCH}" ${signed} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endif()
