// The self-check executable: the harness around the registered cases of both libraries, the
// entity-component cases first, then the kernel's.
#include <vector>

#include "vesk_cases.hpp"

int main(int argc, char** argv) {
  const auto ecs = vesk::ecsCases();
  const auto kernel = vesk::kernelCases();
  std::vector<vesk::TestCase> table(ecs.begin(), ecs.end());
  table.insert(table.end(), kernel.begin(), kernel.end());
  return vesk::harnessMain(argc, argv, table);
}
