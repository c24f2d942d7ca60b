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

configure_file(${PROJECT_SOURCE_DIR}/cmake/poshark.pc.in ${PROJECT_BINARY_DIR}/poshark.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/poshark.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
