# What Debian asks of a package beside the program: the changelog, the
# copyright file and the manual page, compressed as Debian ships them.
# Included from the top-level CMakeLists.txt on Linux.

set(watchdog_debian "${CMAKE_CURRENT_LIST_DIR}/debian")
set(watchdog_gzipped "")
# -n leaves the file's name and time out of the header, so that the same
# commit gives the same bytes; -9 as dh_compress does.
foreach(source changelog tallowbrecken-watchdog.1)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/debian/${source}.gz")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E copy "${watchdog_debian}/${source}" "${CMAKE_CURRENT_BINARY_DIR}/debian/${source}"
    COMMAND gzip -n -9 -f "${CMAKE_CURRENT_BINARY_DIR}/debian/${source}"
    DEPENDS "${watchdog_debian}/${source}" VERBATIM)
  list(APPEND watchdog_gzipped "${out}")
endforeach()
add_custom_target(debian_docs ALL DEPENDS ${watchdog_gzipped})

set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/tallowbrecken-watchdog")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz"
              "${watchdog_debian}/copyright"
        DESTINATION "${doc_dir}")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/debian/tallowbrecken-watchdog.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
