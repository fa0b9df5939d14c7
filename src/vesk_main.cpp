// The self-check executable: the harness around the registered cases of both libraries, the
// entity-component cases first, then the kernel's.
#include <algorithm>
#include <array>

#include "vesk_cases.hpp"

int main(int argc, char** argv) {
  static std::array<vesk::TestCase, 64> table;
  const auto ecs = vesk::ecsCases();
  const auto kernel = vesk::kernelCases();
  auto end = std::copy(ecs.begin(), ecs.end(), table.begin());
  end = std::copy(kernel.begin(), kernel.end(), end);
  return vesk::harnessMain(argc, argv, std::span(table.begin(), end));
}
