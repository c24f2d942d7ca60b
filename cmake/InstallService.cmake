# What `poshark serve` needs as a system service: the unit, the default
# configuration, the logrotate file, the manual pages and the documents.
#
# Installed under the prefix /usr (the Debian package), the configuration
# goes to /etc and the unit to systemd's own unit folder; under any other
# prefix P, to P/etc and P/lib/systemd/system. The choice is made when
# installing, since `cmake --install --prefix` and cpack may name another
# prefix than the one the build was configured with. (file(INSTALL) adds
# DESTDIR itself; file(WRITE) is given it.)
pkg_get_variable(POSHARK_SYSTEM_UNIT_DIR systemd systemdsystemunitdir)
if(NOT POSHARK_SYSTEM_UNIT_DIR)
  set(POSHARK_SYSTEM_UNIT_DIR /lib/systemd/system)
endif()

set(poshark_unit_source "${PROJECT_SOURCE_DIR}/examples/systemd/poshark.service")
set(poshark_packaging "${PROJECT_SOURCE_DIR}/packaging")
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(etc_dir /etc)
    set(unit_dir \"${POSHARK_SYSTEM_UNIT_DIR}\")
  else()
    set(etc_dir \"\${CMAKE_INSTALL_PREFIX}/etc\")
    set(unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  endif()
  file(READ \"${poshark_unit_source}\" unit)
  string(REPLACE /usr/local/bin/poshark \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/poshark\" unit \"\${unit}\")
  string(REPLACE /etc/poshark \"\${etc_dir}/poshark\" unit \"\${unit}\")
  message(STATUS \"Installing: \$ENV{DESTDIR}\${unit_dir}/poshark.service\")
  file(WRITE \"\$ENV{DESTDIR}\${unit_dir}/poshark.service\" \"\${unit}\")
  file(INSTALL \"${poshark_packaging}/poshark.ini\" DESTINATION \"\${etc_dir}/poshark\"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL \"${poshark_packaging}/poshark.logrotate\" DESTINATION \"\${etc_dir}/logrotate.d\"
    RENAME poshark PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")

# Manual pages, compressed as Debian wants them (gzip -n: no name or time,
# so that two builds give the same bytes).
find_program(POSHARK_GZIP gzip REQUIRED)
set(poshark_man_pages poshark.1 poshark.ini.5)
foreach(page ${poshark_man_pages})
  set(source "${PROJECT_SOURCE_DIR}/docs/man/${page}")
  set(packed "${PROJECT_BINARY_DIR}/man/${page}.gz")
  add_custom_command(OUTPUT "${packed}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
    COMMAND ${POSHARK_GZIP} -9n -c "${source}" > "${packed}"
    DEPENDS "${source}" VERBATIM)
  list(APPEND poshark_man_packed "${packed}")
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section "${page}")
  install(FILES "${packed}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()

# The documents, the copyright and the changelog Debian expects beside them.
string(TIMESTAMP POSHARK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${poshark_packaging}/changelog.in" "${PROJECT_BINARY_DIR}/packaging/changelog" @ONLY)
set(poshark_changelog "${PROJECT_BINARY_DIR}/packaging/changelog.gz")
add_custom_command(OUTPUT "${poshark_changelog}"
  COMMAND ${POSHARK_GZIP} -9n -c "${PROJECT_BINARY_DIR}/packaging/changelog" > "${poshark_changelog}"
  DEPENDS "${PROJECT_BINARY_DIR}/packaging/changelog" VERBATIM)
add_custom_target(poshark_docs ALL DEPENDS ${poshark_man_packed} "${poshark_changelog}")
install(FILES README.md docs/JOURNAL.md docs/OUTPUT.md docs/PAGE.md docs/SERVE.md
  "${poshark_packaging}/copyright" "${poshark_changelog}"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}")
