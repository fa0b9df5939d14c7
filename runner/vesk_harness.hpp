// The self-check harness's public entry: an executable hands its case table to `harnessMain`,
// which sets up the process, reads the command line and runs the cases (terminal mode) or serves
// a build driver (`--listen=-`). Cases state what they expect with the expectations below and
// allocate through `testingAllocator()`, which checks each case for leaks.
#pragma once

#include <span>
#include <string_view>

#include "checking_allocator.hpp"
#include "expect.hpp"
#include "log.hpp"
#include "vesk_base.hpp"

namespace vesk {

/// One registered case: its full name ("module.test.description") and its procedure.
struct TestCase {
  std::string_view name;
  Result<void> (*func)();
};

/// Runs the process around `cases`: start-up, command line, one mode, exit. Returns the exit
/// status (0) when the run ended normally; a failed run ends the process itself.
int harnessMain(int argc, char** argv, std::span<const TestCase> cases);

}  // namespace vesk
