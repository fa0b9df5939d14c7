# vesk_discover_cases(<target> [TEST_PREFIX <prefix>] [CASE_TIMEOUT <seconds>]
#                     [TIMEOUT <seconds>] [DRIVER <executable target>])
# Registers every case of <target>, an executable built on vesk::harness, as a CTest test of its
# own, listed after <target> is built; on the default main each test runs `<target> --filter`,
# otherwise the case runs through vesk-run. The options are described in the README ("Each case
# as a CTest test").

function(vesk_discover_cases target)
  cmake_parse_arguments(ARG "" "TEST_PREFIX;CASE_TIMEOUT;TIMEOUT;DRIVER" "" ${ARGN})
  if(NOT ARG_DRIVER)
    set(ARG_DRIVER vesk::run)
  endif()
  if(NOT TARGET ${ARG_DRIVER})
    message(FATAL_ERROR "vesk_discover_cases: no target ${ARG_DRIVER} (find_package(vesk) "
                        "provides vesk::run)")
  endif()
  if(NOT ARG_TIMEOUT)
    if(ARG_CASE_TIMEOUT)
      math(EXPR ARG_TIMEOUT "${ARG_CASE_TIMEOUT} + 30")
    else()
      set(ARG_TIMEOUT 60)
    endif()
  endif()
  # The driver must exist before the listing runs: in a build tree it is built first.
  get_target_property(driver ${ARG_DRIVER} ALIASED_TARGET)
  if(NOT driver)
    set(driver ${ARG_DRIVER})
  endif()
  get_target_property(imported ${driver} IMPORTED)
  if(NOT imported)
    add_dependencies(${target} ${driver})
  endif()

  # Known when the build is generated, after every target_link_libraries of the project.
  set(links $<TARGET_PROPERTY:${target},LINK_LIBRARIES>)
  set(default_main
      $<OR:$<IN_LIST:vesk::harness_main,${links}>,$<IN_LIST:vesk_harness_main,${links}>>)

  set(cases_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_cases.cmake)
  set(include_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_cases_include.cmake)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND}
      -D "DRIVER=$<TARGET_FILE:${driver}>"
      -D "EXECUTABLE=$<TARGET_FILE:${target}>"
      -D "DEFAULT_MAIN=${default_main}"
      # CMake drops trailing blanks from a -D value ("scene: "); the '|' after the prefix keeps
      # them and the script takes it off.
      -D "TEST_PREFIX=${ARG_TEST_PREFIX}|"
      -D "CASE_TIMEOUT=${ARG_CASE_TIMEOUT}"
      -D "TIMEOUT=${ARG_TIMEOUT}"
      -D "OUTPUT=${cases_file}"
      # The script beside this file, wherever the function is called from: this directory's
      # variables are not seen in a consumer's directories when vesk is a subproject.
      -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/VeskDiscoverCasesScript.cmake
    BYPRODUCTS ${cases_file}
    COMMENT "Listing the cases of ${target} for CTest"
    VERBATIM)
  file(WRITE ${include_file}
    "if(EXISTS \"${cases_file}\")\n"
    "  include(\"${cases_file}\")\n"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
