# Installation: the shared library with its soname links, the public header,
# a CMake package (find_package(mudp) -> mudp::mudp) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(MUDP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mudp)

install(TARGETS mudp EXPORT mudpTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/mudp.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# On Windows the cross-built libsodium DLL goes beside mudp.dll; on Linux the
# system's libsodium is a dependency like Qt.
if(WIN32)
  install(FILES ${MUDP_SODIUM_DLL} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT mudpTargets NAMESPACE mudp:: DESTINATION ${MUDP_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mudpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/mudpConfig.cmake INSTALL_DESTINATION ${MUDP_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mudpConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mudpConfig.cmake ${PROJECT_BINARY_DIR}/mudpConfigVersion.cmake
  DESTINATION ${MUDP_CMAKE_DIR})

# The .pc file finds its prefix from its own place (${pcfiledir}), so the tree
# can be installed with any --prefix or moved afterwards.
set(MUDP_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(MUDP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH MUDP_PC_UP /prefix/${MUDP_PC_DIR} /prefix)
  string(REGEX REPLACE "/$" "" MUDP_PC_UP "${MUDP_PC_UP}")
  set(MUDP_PC_PREFIX "\${pcfiledir}/${MUDP_PC_UP}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/mudp.pc.in ${PROJECT_BINARY_DIR}/mudp.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mudp.pc DESTINATION ${MUDP_PC_DIR})
