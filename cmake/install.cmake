# Installation: public headers under include/vesk/, the static libraries, the self-check
# executable, the build driver vesk-run, a relocatable CMake package with the components kernel,
# ecs and harness (`find_package(vesk CONFIG REQUIRED COMPONENTS ...)`) and the CMake function
# vesk_discover_cases, and a pkg-config file per library.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(vesk_base PROPERTIES EXPORT_NAME base)
set_target_properties(vesk_kernel PROPERTIES EXPORT_NAME kernel)
set_target_properties(vesk_ecs PROPERTIES EXPORT_NAME ecs)
set_target_properties(vesk_harness PROPERTIES EXPORT_NAME harness)
set_target_properties(vesk_harness_main PROPERTIES EXPORT_NAME harness_main)
set_target_properties(vesk_harness_new PROPERTIES EXPORT_NAME harness_new)
set_target_properties(vesk-run PROPERTIES EXPORT_NAME run)

# Two export sets, so that the libraries can be used without the harness's dependencies. vesk-run
# needs none of them (no libdw), so it comes with the libraries as the imported vesk::run.
install(TARGETS vesk_base vesk_kernel vesk_ecs vesk-run
  EXPORT veskTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vesk_harness vesk_harness_main vesk_harness_new
  EXPORT veskHarnessTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vesk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(VESK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vesk)
install(EXPORT veskTargets NAMESPACE vesk:: DESTINATION ${VESK_CMAKE_DIR})
install(EXPORT veskHarnessTargets NAMESPACE vesk:: DESTINATION ${VESK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/veskConfig.cmake.in
  ${PROJECT_BINARY_DIR}/veskConfig.cmake INSTALL_DESTINATION ${VESK_CMAKE_DIR})
# Before 1.0 a minor version may change the interface, so only the same minor version matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veskConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veskConfig.cmake ${PROJECT_BINARY_DIR}/veskConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/VeskDiscoverCases.cmake
  ${PROJECT_SOURCE_DIR}/cmake/VeskDiscoverCasesScript.cmake
  DESTINATION ${VESK_CMAKE_DIR})

# pkg-config files for builds without CMake. They find the prefix from their own place, so the
# installed tree can be moved.
set(VESK_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VESK_PC_TO_PREFIX /${VESK_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" VESK_PC_TO_PREFIX "${VESK_PC_TO_PREFIX}")
foreach(library base kernel ecs harness harness-main)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vesk-${library}.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/vesk-${library}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/vesk-${library}.pc
          DESTINATION ${VESK_PKGCONFIG_DIR})
endforeach()
