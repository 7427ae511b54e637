# What `cmake --install <build> --prefix P` puts under P:
#   include/trelvar/*.hpp            the public headers and the generated version.hpp
#   lib/libtrelvar.a                 the library (or libtrelvar.so -> .so.M.m -> .so.M.m.p)
#   lib/cmake/trelvar/               trelvarConfig.cmake, trelvarConfigVersion.cmake and the
#                                    exported targets: find_package(trelvar) -> trelvar::trelvar
#   lib/pkgconfig/trelvar.pc         for pkg-config
#   share/trelvar/models/*.urdf      the bundled robots (trelvar_MODELS_DIR, pkg-config modelsdir)
# (lib is CMAKE_INSTALL_LIBDIR.) The Python module is installed by pip, not here.
include(CMakePackageConfigHelpers)

set(TRELVAR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/trelvar)
set(TRELVAR_INSTALL_MODELSDIR ${CMAKE_INSTALL_DATADIR}/trelvar/models)

install(TARGETS trelvar_core trelvar_flags EXPORT trelvarTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/trelvar DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp")
install(FILES ${PROJECT_BINARY_DIR}/include/trelvar/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trelvar)
file(GLOB TRELVAR_MODELS ${PROJECT_SOURCE_DIR}/models/*.urdf)
install(FILES ${TRELVAR_MODELS} DESTINATION ${TRELVAR_INSTALL_MODELSDIR})

# CMake package. pugixml is a private dependency: a consumer needs it only to
# link the static library, so the package looks for it only then.
if(BUILD_SHARED_LIBS)
  set(TRELVAR_STATIC OFF)
else()
  set(TRELVAR_STATIC ON)
endif()
install(EXPORT trelvarTargets NAMESPACE trelvar:: DESTINATION ${TRELVAR_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/trelvarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/trelvarConfig.cmake
  INSTALL_DESTINATION ${TRELVAR_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR TRELVAR_INSTALL_MODELSDIR)
# 0.x: only the same major.minor is compatible (as the SONAME says).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/trelvarConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/trelvarConfig.cmake
  ${PROJECT_BINARY_DIR}/trelvarConfigVersion.cmake DESTINATION ${TRELVAR_INSTALL_CMAKEDIR})

# pkg-config file, relocatable: paths are relative to the file's own place.
# For the static library pugixml is a plain requirement, so that
# `pkg-config --libs trelvar` alone gives a complete link line.
file(RELATIVE_PATH TRELVAR_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TRELVAR_PC_TO_PREFIX "${TRELVAR_PC_TO_PREFIX}")
set(TRELVAR_PC_REQUIRES "eigen3 >= 3.4")
if(TRELVAR_STATIC)
  string(APPEND TRELVAR_PC_REQUIRES ", pugixml")
endif()
set(TRELVAR_PC_CFLAGS "")
foreach(flag ${TRELVAR_CONSUMER_COMPILE_OPTIONS})
  string(APPEND TRELVAR_PC_CFLAGS " ${flag}")
endforeach()
set(TRELVAR_PC_LIBS "")
foreach(flag ${TRELVAR_CONSUMER_LINK_OPTIONS})
  string(APPEND TRELVAR_PC_LIBS " ${flag}")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/trelvar.pc.in ${PROJECT_BINARY_DIR}/trelvar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/trelvar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
