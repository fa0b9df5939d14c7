// The measured peer of the build-driver benchmark: the harness around one passing case, so that a
// round trip costs the protocol and the per-request bookkeeping, not the case.

#include <vesk/vesk_harness.hpp>

namespace {

vesk::Result<void> passes() {
  return {};
}

constexpr vesk::TestCase CASES[] = {{"server_bench.test.passes", passes}};

}  // namespace

int main(int argc, char** argv) {
  return vesk::harnessMain(argc, argv, CASES);
}
