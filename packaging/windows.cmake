# What a Windows machine without Qt needs beside watchdog.exe, and the ZIP and
# the installer that carry it. Included from the top-level CMakeLists.txt.

set(qt Qt${QT_VERSION_MAJOR})

# Qt loads its platform and style plugins from these folders beside the program.
set(watchdog_plugins "")
foreach(plugin_and_dir QWindowsIntegrationPlugin:platforms QWindowsVistaStylePlugin:styles)
  string(REPLACE ":" ";" plugin_and_dir "${plugin_and_dir}")
  list(GET plugin_and_dir 0 plugin)
  list(GET plugin_and_dir 1 dir)
  if(NOT TARGET ${qt}::${plugin})
    message(FATAL_ERROR "This Qt has no ${plugin}: the program can't show a window without it")
  endif()
  install(FILES $<TARGET_FILE:${qt}::${plugin}> DESTINATION ${dir})
  list(APPEND watchdog_plugins "${dir}/$<TARGET_FILE_NAME:${qt}::${plugin}>")
endforeach()

# The DLLs are found where the build found them: Qt's bin folder and the
# compiler's runtime folder. Windows' own DLLs are left unresolved on purpose.
get_target_property(qt_core_dll ${qt}::Core LOCATION)
get_filename_component(qt_bin_dir "${qt_core_dll}" DIRECTORY)
set(runtime_dirs "${qt_bin_dir}")
if(MINGW)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                  OUTPUT_VARIABLE libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(mingw_runtime_dir "${libstdcxx}" DIRECTORY)
  list(APPEND runtime_dirs "${mingw_runtime_dir}")
endif()
if(NOT CMAKE_HOST_WIN32)
  # CMake looks a PE file's DLLs up by their lower-case names, which a Linux
  # file system tells apart from "Qt5Core.dll": offer them under those names too.
  set(lowered_dir "${CMAKE_CURRENT_BINARY_DIR}/runtime-dlls")
  file(REMOVE_RECURSE "${lowered_dir}")
  file(MAKE_DIRECTORY "${lowered_dir}")
  foreach(dir IN LISTS runtime_dirs)
    file(GLOB dlls "${dir}/*.dll")
    foreach(dll IN LISTS dlls)
      get_filename_component(name "${dll}" NAME)
      string(TOLOWER "${name}" name)
      if(NOT EXISTS "${lowered_dir}/${name}")
        file(CREATE_LINK "${dll}" "${lowered_dir}/${name}" SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  set(runtime_dirs "${lowered_dir}")
endif()

install(CODE "
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM \"${CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM}\")
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL \"${CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL}\")
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND}\")
  set(watchdog_plugins \"${watchdog_plugins}\")
  list(TRANSFORM watchdog_plugins PREPEND \"\${CMAKE_INSTALL_PREFIX}/\")
  file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES \"\${CMAKE_INSTALL_PREFIX}/watchdog.exe\"
    MODULES \${watchdog_plugins}
    DIRECTORIES \"${runtime_dirs}\"
    RESOLVED_DEPENDENCIES_VAR resolved
    UNRESOLVED_DEPENDENCIES_VAR unresolved
    PRE_EXCLUDE_REGEXES \"^api-ms-\" \"^ext-ms-\"
    POST_EXCLUDE_REGEXES \"[/\\\\\\\\][Ss]ystem32[/\\\\\\\\]\" \"[/\\\\\\\\][Ss]ys[Ww][Oo][Ww]64[/\\\\\\\\]\")
  foreach(dll IN LISTS unresolved)
    if(dll MATCHES \"^([Qq][Tt]|lib)\")
      message(FATAL_ERROR \"\${dll} is needed but was not found in ${runtime_dirs}\")
    endif()
  endforeach()
  # Under their own names, not the links'; stripped when asked (Debian's
  # libstdc++-6.dll carries 20 MB of debugging data).
  foreach(dll IN LISTS resolved)
    get_filename_component(dll \"\${dll}\" REALPATH)
    file(INSTALL \"\${dll}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")
    get_filename_component(name \"\${dll}\" NAME)
    if(CMAKE_INSTALL_DO_STRIP AND EXISTS \"${CMAKE_STRIP}\")
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${CMAKE_INSTALL_PREFIX}/\${name}\")
    endif()
  endforeach()
")

# MSVC's runtime, which Windows does not always carry.
if(MSVC)
  set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
  include(InstallRequiredSystemLibraries)
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(watchdog_windows_arch x86_64)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  # A 64-bit installer for the 64-bit program: it runs where 32-bit programs
  # can't, and reads and writes the registry view the program belongs to.
  # CPack's own script gains the target as its first command (later, NSIS
  # takes the 32-bit Program Files for $PROGRAMFILES64), and that view at the
  # start of both init functions.
  set(watchdog_nsis_template "${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in")
  if(NOT EXISTS "${watchdog_nsis_template}")
    set(watchdog_nsis_template "${CMAKE_ROOT}/Modules/NSIS.template.in")
  endif()
  file(READ "${watchdog_nsis_template}" template)
  string(FIND "${template}" "\n" first_line_end)
  string(SUBSTRING "${template}" 0 ${first_line_end} first_line)
  if(NOT first_line MATCHES "^.?.?.?;")
    message(FATAL_ERROR "${watchdog_nsis_template} does not begin with a comment line")
  endif()
  string(REPLACE "${first_line}\n" "${first_line}\nTarget amd64-unicode\n" template "${template}")
  foreach(function ".onInit" "un.onInit")
    string(REPLACE "Function ${function}\n" "Function ${function}\n  SetRegView 64\n" patched "${template}")
    if(patched STREQUAL template)
      message(FATAL_ERROR "No 'Function ${function}' in ${watchdog_nsis_template}")
    endif()
    set(template "${patched}")
  endforeach()
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/nsis64/NSIS.template.in" "${template}")
  set(CPACK_MODULE_PATH "${CMAKE_CURRENT_BINARY_DIR}/nsis64")
else()
  set(watchdog_windows_arch i686)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
endif()
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_FILE_NAME "tallowbrecken-watchdog-${PROJECT_VERSION}-windows-${watchdog_windows_arch}")
# The installer's file name ends in "-setup"; the ZIP's does not.
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack-per-generator.cmake")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Tallowbrecken Watchdog")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Tallowbrecken Watchdog")
set(CPACK_NSIS_DISPLAY_NAME "Tallowbrecken Watchdog")
set(CPACK_NSIS_PACKAGE_NAME "Tallowbrecken Watchdog")
set(CPACK_NSIS_INSTALLED_ICON_NAME watchdog.exe)
set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/ui/Logo.ico")
set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/ui/Logo.ico")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)

# sys.ini and the restart log lie in the working directory, and Program Files
# is not writable for a normal user: the shortcut starts the program in a
# folder of each user's own. The link keeps "%LOCALAPPDATA%" unexpanded, so
# every user gets theirs; the installer makes the installing user's, and
# Active Setup makes each other user's at their next logon. The uninstaller
# leaves these folders alone: they hold the users' settings and logs.
# These texts are read twice (here and from CPackConfig.cmake), so a "\\" or a
# quote needs escaping twice.
set(watchdog_data_dir "Tallowbrecken Watchdog")
set(watchdog_active_setup "Software\\\\Microsoft\\\\Active Setup\\\\Installed Components\\\\TallowbreckenWatchdog")
set(CPACK_NSIS_CREATE_ICONS_EXTRA "
  SetShellVarContext current
  CreateDirectory '$LOCALAPPDATA\\\\${watchdog_data_dir}'
  SetShellVarContext all
  WriteRegStr HKLM '${watchdog_active_setup}' '' 'Tallowbrecken Watchdog'
  WriteRegStr HKLM '${watchdog_active_setup}' 'Version' '${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR}'
  WriteRegExpandStr HKLM '${watchdog_active_setup}' 'StubPath' '%SystemRoot%\\\\System32\\\\cmd.exe /d /c mkdir \\\"%LOCALAPPDATA%\\\\${watchdog_data_dir}\\\"'
  StrCpy $OUTDIR '%LOCALAPPDATA%\\\\${watchdog_data_dir}'
  CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Tallowbrecken Watchdog.lnk' '$INSTDIR\\\\watchdog.exe'
  SetOutPath '$INSTDIR'
")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "
  Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\Tallowbrecken Watchdog.lnk'
")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "
  DeleteRegKey HKLM '${watchdog_active_setup}'
")
