# Run by cpack after each package it makes, which it then copies to its
# output folder: the package's SHA-256 goes into SHA256SUMS there, as
# sha256sum writes it. The lines of other packages there stay (both Windows
# targets share dist/), of files that still exist.
set(dir "${CPACK_PACKAGE_DIRECTORY}")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  file(SHA256 "${package}" sum)
  set(entries "${name}|${sum}")
  if(EXISTS "${dir}/SHA256SUMS")
    file(STRINGS "${dir}/SHA256SUMS" lines)
    foreach(line IN LISTS lines)
      if(line MATCHES "^([0-9a-f]+)  (.+)$")
        set(other "${CMAKE_MATCH_2}")
        if(NOT other STREQUAL name AND EXISTS "${dir}/${other}")
          list(APPEND entries "${other}|${CMAKE_MATCH_1}")
        endif()
      endif()
    endforeach()
  endif()
  # By name, so that the file is the same whichever target was packed first.
  list(SORT entries)
  set(text "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^(.+)\\|([0-9a-f]+)$" "\\2  \\1\n" line "${entry}")
    string(APPEND text "${line}")
  endforeach()
  file(WRITE "${dir}/SHA256SUMS" "${text}")
endforeach()
