# Installation of libvadizu: the shared library with its SONAME links, the
# public header, a pkg-config file and a CMake package (find_package(vadizu)
# gives vadizu::vadizu). The vadizu command installs itself from tools/;
# debian/ splits all of it into packages.

include(CMakePackageConfigHelpers)

install(TARGETS vadizu EXPORT vadizuTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vadizu.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package, relocatable: the exported targets and the config file find
# the prefix from their own location.
set(VADIZU_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vadizu)
install(EXPORT vadizuTargets NAMESPACE vadizu::
  DESTINATION ${VADIZU_CMAKE_DIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/vadizu-config.cmake.in
  ${PROJECT_BINARY_DIR}/vadizu-config.cmake
  INSTALL_DESTINATION ${VADIZU_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/vadizu-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/vadizu-config.cmake
  ${PROJECT_BINARY_DIR}/vadizu-config-version.cmake
  DESTINATION ${VADIZU_CMAKE_DIR})

# pkg-config file, relocatable too: the prefix is found from the file's own
# directory, so an install with --prefix or DESTDIR needs no rewrite.
file(RELATIVE_PATH VADIZU_PC_PREFIX_FROM_PCDIR
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VADIZU_PC_PREFIX_FROM_PCDIR
  "${VADIZU_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vadizu.pc.in
  ${PROJECT_BINARY_DIR}/vadizu.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vadizu.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
