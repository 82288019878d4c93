# Installation: the shared libraries (the GPU build and, when built, the emulated one), the public
# header, a CMake package config and pkg-config files.
#
#   find_package(kr_omu_impl_cuda CONFIG REQUIRED [COMPONENTS gpu emulated])
#
# gives the imported targets
#   kr_omu_impl_cuda::headers                     kr_omu.h only (for an engine that loads the library
#                                                 at run time; TARGET_FILE of the targets below names it)
#   kr_omu_impl_cuda::kr_omu_impl_cuda            the GPU library (component gpu)
#   kr_omu_impl_cuda::kr_omu_impl_cuda_emulated   the CPU-emulated library (component emulated)
# The library targets carry the header's include directory as well.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KR_PACKAGE_VERSION 0.1.0)
set(KR_PACKAGE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kr_omu_impl_cuda)

add_library(kr_omu_headers INTERFACE)
set_target_properties(kr_omu_headers PROPERTIES EXPORT_NAME headers)
target_include_directories(kr_omu_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
add_library(kr_omu_impl_cuda::headers ALIAS kr_omu_headers)

set(kr_installed_libraries)
set(kr_package_components)
foreach(lib IN ITEMS kr_omu_impl_cuda kr_omu_impl_cuda_emulated)
  if(TARGET ${lib})
    # Users of the imported target see the public header; the library's own objects do not need it.
    target_link_libraries(${lib} INTERFACE kr_omu_headers)
    list(APPEND kr_installed_libraries ${lib})
  endif()
endforeach()
if(TARGET kr_omu_impl_cuda)
  list(APPEND kr_package_components gpu)
endif()
if(TARGET kr_omu_impl_cuda_emulated)
  list(APPEND kr_package_components emulated)
endif()

install(TARGETS kr_omu_headers ${kr_installed_libraries}
  EXPORT kr_omu_impl_cuda_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kr_omu.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kr_omu_impl_cuda_targets
  NAMESPACE kr_omu_impl_cuda::
  FILE kr_omu_impl_cudaTargets.cmake
  DESTINATION ${KR_PACKAGE_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/package/kr_omu_impl_cudaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/kr_omu_impl_cudaConfig.cmake
  INSTALL_DESTINATION ${KR_PACKAGE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kr_omu_impl_cudaConfigVersion.cmake
  VERSION ${KR_PACKAGE_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/kr_omu_impl_cudaConfig.cmake
  ${PROJECT_BINARY_DIR}/package/kr_omu_impl_cudaConfigVersion.cmake
  DESTINATION ${KR_PACKAGE_CMAKE_DIR})

# One pkg-config file per installed library. Paths are relative to the file's own directory, so the
# tree works wherever `cmake --install --prefix` puts it (and can be moved).
set(KR_PC_PREFIX "\${pcfiledir}")
if(NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH kr_pc_up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" kr_pc_up "${kr_pc_up}")
  set(KR_PC_PREFIX "\${pcfiledir}/${kr_pc_up}")
endif()
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
foreach(lib IN LISTS kr_installed_libraries)
  if(lib STREQUAL "kr_omu_impl_cuda_emulated")
    set(KR_PC_DESCRIPTION "omu device layer back end, emulated on the CPU (no GPU needed)")
  else()
    set(KR_PC_DESCRIPTION "omu device layer back end for NVIDIA GPUs (CUDA runtime linked statically)")
  endif()
  set(KR_PC_LIBRARY ${lib})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/package/kr_omu_impl_cuda.pc.in
    ${PROJECT_BINARY_DIR}/package/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
