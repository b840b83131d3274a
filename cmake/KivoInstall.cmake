# Installs the library, public headers, a CMake package (kivo::kivo) and kivo.pc.
include(CMakePackageConfigHelpers)

install(TARGETS kivo EXPORT kivoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/kivo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kivoTargets NAMESPACE kivo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivo)

configure_package_config_file(cmake/kivoConfig.cmake.in ${PROJECT_BINARY_DIR}/kivoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivo)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kivoConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kivoConfig.cmake ${PROJECT_BINARY_DIR}/kivoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivo)

set(KIVO_PC_PRIVATE_REQUIRES "soxr alsa libcurl")
if(KIVO_GEOCLUE_TARGET)
  string(APPEND KIVO_PC_PRIVATE_REQUIRES " libgeoclue-2.0")
endif()
# Relocatable: the prefix is found from the .pc file's own directory.
file(RELATIVE_PATH KIVO_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/kivo.pc.in ${PROJECT_BINARY_DIR}/kivo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kivo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
