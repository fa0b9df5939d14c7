# Checks that the example in README.md is exactly examples/scene.cpp, which CI builds against an
# installed vesk: the README's example is then known to compile and run.
#   cmake -DREADME=<README.md> -DEXAMPLE=<scene.cpp> -P check_readme_example.cmake
file(READ ${README} readme)
file(READ ${EXAMPLE} example)
string(FIND "${readme}" "<!-- example: examples/scene.cpp -->\n```cpp\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README.md has no example block marked for examples/scene.cpp")
endif()
string(LENGTH "<!-- example: examples/scene.cpp -->\n```cpp\n" marker_length)
math(EXPR start "${start} + ${marker_length}")
string(SUBSTRING "${readme}" ${start} -1 rest)
string(FIND "${rest}" "```" end)
string(SUBSTRING "${rest}" 0 ${end} block)
if(NOT block STREQUAL example)
  message(FATAL_ERROR "The example in README.md differs from examples/scene.cpp")
endif()
