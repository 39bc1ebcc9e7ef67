# `cmake --install` (or `make install PREFIX=...`): the programs, their manual
# pages, the public headers under include/texture, the static libraries and a
# CMake package, so that another project can write
#   find_package(texture REQUIRED)
#   target_link_libraries(app PRIVATE texture::texture)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TEXTURE_LIBRARIES containers nmath clustering denoise)
# Installed library files carry the project's name: libtexture_denoise.a.
foreach(library IN LISTS TEXTURE_LIBRARIES)
  set_target_properties(${library} PROPERTIES OUTPUT_NAME texture_${library})
endforeach()

# The one target a consumer links: every subsystem library and Threads.
add_library(texture_all INTERFACE)
set_target_properties(texture_all PROPERTIES EXPORT_NAME texture)
target_link_libraries(texture_all INTERFACE ${TEXTURE_LIBRARIES})
if(TEXTURE_SANITIZE)
  # Sanitized libraries call into the sanitizer runtimes; a consumer links them too.
  target_link_options(texture_all INTERFACE ${sanitizers})
endif()
add_library(texture::texture ALIAS texture_all)

set(TEXTURE_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/texture)
install(TARGETS ${TEXTURE_LIBRARIES} texture_all EXPORT textureTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} ${TEXTURE_INCLUDE_DIR})
install(EXPORT textureTargets NAMESPACE texture:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/texture)

# The headers a consumer needs: the containers and exceptions, the numerical
# library, the cluster tree and the denoiser. They include each other by
# their bare names, so they share one folder.
install(FILES
  src/containers/Allocation.h src/containers/CMatrix.h src/containers/CTensor.h src/containers/CVector.h
  src/containers/Exceptions.h src/containers/MatrixOperators.h
  src/math/NMath.h
  src/clustering/CClustering.h
  src/denoise/CElement.h src/denoise/CNLMeans.h
  DESTINATION ${TEXTURE_INCLUDE_DIR})

configure_package_config_file(cmake/textureConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/textureConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/texture)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/textureConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/textureConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/textureConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/texture)

install(TARGETS texture nlmeans pgmquality leafmosaics RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/texture.1 docs/man/nlmeans.1 docs/man/pgmquality.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
