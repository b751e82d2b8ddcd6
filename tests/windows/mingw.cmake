# Cross-compiles for Windows with Debian's MinGW-w64:
# -DMINGW_ARCH=x86_64 for 64-bit, -DMINGW_ARCH=i686 for 32-bit, and
# -DWATCHDOG_WINDOWS_QT=<prefix> for a Qt built for that target
# (tools/build-qt-windows.sh makes one).
if(NOT MINGW_ARCH MATCHES "^(x86_64|i686)$")
  message(FATAL_ERROR "Set MINGW_ARCH to x86_64 or i686")
endif()
# try_compile projects read this file again and need the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_ARCH WATCHDOG_WINDOWS_QT)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_ARCH})
set(CMAKE_C_COMPILER ${MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_ARCH}-w64-mingw32)
if(WATCHDOG_WINDOWS_QT)
  # Searched as a root of its own, so the host's Qt is never taken by mistake.
  list(APPEND CMAKE_FIND_ROOT_PATH "${WATCHDOG_WINDOWS_QT}")
  # MinGW's libraries through the links beside Qt's: the import tables then
  # don't depend on where Qt is cached (see tools/build-qt-windows.sh).
  foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -L${WATCHDOG_WINDOWS_QT}/lib")
  endforeach()
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Which DLLs the program needs is read from its PE headers by the cross objdump.
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${MINGW_ARCH}-w64-mingw32-objdump)
