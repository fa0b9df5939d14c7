# Writes the CTest file of vesk_discover_cases (VeskDiscoverCases.cmake): one test per case of a
# harness executable, each running exactly that case, by itself when it has the default main
# (DEFAULT_MAIN=1), through vesk-run otherwise.
#   cmake -DDRIVER=<vesk-run> -DEXECUTABLE=<harness executable> -DOUTPUT=<file> [-DDEFAULT_MAIN=1]
#         [-DTEST_PREFIX=<prefix>|] [-DCASE_TIMEOUT=<s>] [-DTIMEOUT=<s>] -P VeskDiscoverCasesScript.cmake
# TEST_PREFIX ends with a '|' that is not part of it, so that trailing blanks survive.
if(DEFAULT_MAIN)
  set(list_command "${EXECUTABLE}" --list)
else()
  set(list_command "${DRIVER}" --list "${EXECUTABLE}")
endif()
execute_process(COMMAND ${list_command}
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "Listing the cases of ${EXECUTABLE} failed (${status}):\n${errors}")
endif()

# Case names hold spaces, colons, parentheses, brackets, semicolons and non-ASCII text, so every
# piece is written as a bracket argument, whose text CMake takes as it is; the number of '=' is
# chosen so that no piece can close it early.
function(_vesk_bracket text out)
  set(equals "=")
  while(text MATCHES "]${equals}]")
    string(APPEND equals "=")
  endwhile()
  set(${out} "[${equals}[${text}]${equals}]" PARENT_SCOPE)
endfunction()

string(REGEX REPLACE "\\|$" "" TEST_PREFIX "${TEST_PREFIX}")
set(options -j1)
if(CASE_TIMEOUT)
  list(APPEND options --timeout ${CASE_TIMEOUT})
endif()
_vesk_bracket("${DRIVER}" driver)
_vesk_bracket("${EXECUTABLE}" executable)
set(content "# Written by vesk_discover_cases from the case list of ${EXECUTABLE}.\n")
set(rest "${listing}")
while(NOT rest STREQUAL "")
  string(FIND "${rest}" "\n" end)
  if(end EQUAL -1)
    set(name "${rest}")
    set(rest "")
  else()
    string(SUBSTRING "${rest}" 0 ${end} name)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${rest}" ${end} -1 rest)
  endif()
  # The filter selects exactly this name: a backslash makes the next character literal.
  string(REPLACE "\\" "\\\\" pattern "${name}")
  string(REPLACE "*" "\\*" pattern "${pattern}")
  string(REPLACE "?" "\\?" pattern "${pattern}")
  _vesk_bracket("${TEST_PREFIX}${name}" test)
  _vesk_bracket("${pattern}" filter)
  if(DEFAULT_MAIN)
    # One process per test, without the driver and a server: the executable's own summary tells
    # a skip. (The property is a list, so the pattern holds no semicolon.)
    string(APPEND content
      "add_test(${test} ${executable} --filter ${filter})\n"
      "set_tests_properties(${test} PROPERTIES TIMEOUT ${TIMEOUT} "
      "SKIP_REGULAR_EXPRESSION [==[0 passed. 1 skipped. 0 failed\\.]==])\n")
  else()
    string(APPEND content
      "add_test(${test} ${driver} ${options} --filter ${filter} ${executable})\n"
      "set_tests_properties(${test} PROPERTIES TIMEOUT ${TIMEOUT} "
      "SKIP_REGULAR_EXPRESSION [==[\\.\\.\\.SKIP \\[]==])\n")
  endif()
endwhile()
file(WRITE "${OUTPUT}" "${content}")
