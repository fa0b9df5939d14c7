# Checks that an example block in README.md is exactly the file it is marked with, which CI builds
# against an installed vesk: the README's example is then known to compile and run.
#   cmake -DREADME=<README.md> -DEXAMPLE=<examples/name.cpp> -P check_readme_example.cmake
# The block is the code fence right after the line "<!-- example: examples/name.cpp -->".
file(READ ${README} readme)
file(READ ${EXAMPLE} example)
get_filename_component(name ${EXAMPLE} NAME)
set(marker "<!-- example: examples/${name} -->\n```cpp\n")
string(FIND "${readme}" "${marker}" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README.md has no example block marked for examples/${name}")
endif()
string(LENGTH "${marker}" marker_length)
math(EXPR start "${start} + ${marker_length}")
string(SUBSTRING "${readme}" ${start} -1 rest)
string(FIND "${rest}" "```" end)
string(SUBSTRING "${rest}" 0 ${end} block)
if(NOT block STREQUAL example)
  message(FATAL_ERROR "The example in README.md differs from examples/${name}")
endif()
