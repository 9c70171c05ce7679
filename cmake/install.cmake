# Installation: the library with its SONAME links, the public header, a
# pkg-config file, CMake package files (find_package(tarvik)), and the
# programs. The stand-in libplovanutil goes with them: libtarvik.so needs
# a libplovanutil.so.0 at run time, and on a firmware image the real one
# takes its place (with TARVIK_STANDIN_PLOVANUTIL=OFF, "plovanutil" is an
# interface target for the firmware's library, and installs no file).
include(CMakePackageConfigHelpers)

# Installed programs and libraries find their libraries beside them.
set_target_properties(tarvik dravel olsr-kavond PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN")
set_target_properties(olsrd_kavond PROPERTIES INSTALL_RPATH "$ORIGIN/..")

install(TARGETS tarvik plovanutil EXPORT tarvikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/tarvik.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS dravel olsr-kavond RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The provider table for the responder: dlopen it and look up
# "kavond_providers" (providers/kavond/kavond_provider.h, installed beside).
install(TARGETS olsrd_kavond LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kavond)
install(FILES ${CMAKE_SOURCE_DIR}/providers/kavond/kavond_provider.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT tarvikTargets NAMESPACE tarvik::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/tarvikConfig.cmake.in
  ${CMAKE_BINARY_DIR}/tarvikConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tarvikConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tarvikConfig.cmake ${CMAKE_BINARY_DIR}/tarvikConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik)

configure_file(${CMAKE_SOURCE_DIR}/cmake/tarvik.pc.in ${CMAKE_BINARY_DIR}/tarvik.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tarvik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
