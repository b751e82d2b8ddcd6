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
else()
  set(watchdog_windows_arch i686)
endif()
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_FILE_NAME "tallowbrecken-watchdog-${PROJECT_VERSION}-windows-${watchdog_windows_arch}")

# The installer is our own script, packaging/installer.nsi: CPack's NSIS
# generator stages the files and configures packaging/NSIS.template.in, which
# hands it what the build knows, then runs makensis on it.
set(CPACK_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}")
set(CPACK_WATCHDOG_ARCH ${watchdog_windows_arch})
set(CPACK_WATCHDOG_ACTIVE_SETUP_VERSION "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR}")
set(CPACK_WATCHDOG_ICON "${PROJECT_SOURCE_DIR}/ui/Logo.ico")
set(CPACK_WATCHDOG_INSTALLER_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/installer.nsi")

# The installer's helper (ends the watchdogs running from the install folder
# and starts them again, compares folders, starts the installer again as an
# administrator). Only the installer carries
# it, so it is built but not installed; linked statically, it runs wherever it
# is unpacked.
add_executable(setuphelper WIN32
  ${CMAKE_CURRENT_LIST_DIR}/setuphelper.cpp
  ${CMAKE_CURRENT_LIST_DIR}/setupdecisions.h
  ${CMAKE_CURRENT_LIST_DIR}/setupdecisions.cpp
  ${PROJECT_SOURCE_DIR}/watchdog/processnames_win.cpp
  ${PROJECT_SOURCE_DIR}/watchdog/processname.cpp)
target_include_directories(setuphelper PRIVATE ${PROJECT_SOURCE_DIR}/watchdog)
target_compile_definitions(setuphelper PRIVATE UNICODE _UNICODE)
# COM reads the shortcuts; userenv gives a restarted watchdog its user's environment.
target_link_libraries(setuphelper PRIVATE ole32 uuid userenv)
# A generator expression keeps multi-configuration generators from adding a folder per configuration.
set_target_properties(setuphelper PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/setuphelper$<0:>"
  MSVC_RUNTIME_LIBRARY MultiThreaded)
if(MINGW)
  target_compile_options(setuphelper PRIVATE -Wall -Wextra -Werror)
  # No PE time stamp: stripped by the linker and not installed, it keeps the
  # one it was linked with, and a build folder packs it again after later commits.
  target_link_options(setuphelper PRIVATE -municode -static -s -Wl,--no-insert-timestamp)
endif()
set(CPACK_WATCHDOG_SETUP_HELPER "${CMAKE_CURRENT_BINARY_DIR}/setuphelper/setuphelper.exe")
