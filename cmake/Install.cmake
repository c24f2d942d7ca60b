include(CMakePackageConfigHelpers)

install(TARGETS poshark EXPORT poshark-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/poshark DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT poshark-targets NAMESPACE poshark:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/poshark)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/poshark-config.cmake.in
  ${PROJECT_BINARY_DIR}/poshark-config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/poshark)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/poshark-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/poshark-config.cmake ${PROJECT_BINARY_DIR}/poshark-config-version.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/poshark)

# The .pc file finds its prefix from its own place, so an install under any
# --prefix (or DESTDIR) stays usable.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(POSHARK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _poshark_pc_up "/r/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/r")
  string(REGEX REPLACE "/$" "" _poshark_pc_up "${_poshark_pc_up}")
  set(POSHARK_PC_PREFIX "\${pcfiledir}/${_poshark_pc_up}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/poshark.pc.in ${PROJECT_BINARY_DIR}/poshark.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/poshark.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
