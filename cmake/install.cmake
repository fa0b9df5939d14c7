# Installation: public headers under include/vesk/, the static libraries, the self-check
# executable, and a relocatable CMake package giving vesk::base, vesk::kernel, vesk::ecs and
# vesk::harness to `find_package(vesk CONFIG REQUIRED)`.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_sources(vesk_base PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR}/src
  FILES ${PROJECT_SOURCE_DIR}/src/vesk_base.hpp)
target_sources(vesk_kernel PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR}/src
  FILES ${PROJECT_SOURCE_DIR}/src/vesk_kernel.hpp)
target_sources(vesk_ecs PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR}/src
  FILES ${PROJECT_SOURCE_DIR}/src/vesk_ecs.hpp)
target_sources(vesk_harness PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR}/runner
  FILES
    ${PROJECT_SOURCE_DIR}/runner/vesk_harness.hpp
    ${PROJECT_SOURCE_DIR}/runner/expect.hpp
    ${PROJECT_SOURCE_DIR}/runner/log.hpp
    ${PROJECT_SOURCE_DIR}/runner/checking_allocator.hpp)

# Consumers include <vesk/vesk_kernel.hpp>; the headers include each other by plain name.
foreach(target vesk_base vesk_kernel vesk_ecs vesk_harness)
  target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()
set_target_properties(vesk_base PROPERTIES EXPORT_NAME base)
set_target_properties(vesk_kernel PROPERTIES EXPORT_NAME kernel)
set_target_properties(vesk_ecs PROPERTIES EXPORT_NAME ecs)
set_target_properties(vesk_harness PROPERTIES EXPORT_NAME harness)

install(TARGETS vesk_base vesk_kernel vesk_ecs vesk_harness
  EXPORT veskTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vesk)
install(TARGETS vesk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(VESK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vesk)
install(EXPORT veskTargets NAMESPACE vesk:: DESTINATION ${VESK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/veskConfig.cmake.in
  ${PROJECT_BINARY_DIR}/veskConfig.cmake INSTALL_DESTINATION ${VESK_CMAKE_DIR})
# Before 1.0 a minor version may change the interface, so only the same minor version matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veskConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veskConfig.cmake ${PROJECT_BINARY_DIR}/veskConfigVersion.cmake
  DESTINATION ${VESK_CMAKE_DIR})
