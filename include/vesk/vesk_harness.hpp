// The self-check harness's public entry: an executable hands its case table to `harnessMain`,
// which sets up the process, reads the command line and runs the cases (terminal mode) or serves
// a build driver (`--listen=-`). Cases state what they expect with the expectations below and
// allocate through `testingAllocator()`, which checks each case for leaks, directly or through
// standard containers on `StdAllocator`.
#pragma once

#include <span>

#include <vesk/checking_allocator.hpp>
#include <vesk/expect.hpp>
#include <vesk/log.hpp>
#include <vesk/std_allocator.hpp>
#include <vesk/test_case.hpp>
#include <vesk/vesk_base.hpp>

namespace vesk {

/// Runs the process around `cases`: start-up, command line, one mode, exit. Returns the exit
/// status (0) when the run ended normally; a failed run ends the process itself.
int harnessMain(int argc, char** argv, std::span<const TestCase> cases);

/// The same for a `main` that read its command line itself: runs `cases` in terminal mode, or
/// serves a build driver when `listen`.
int harnessRun(std::span<const TestCase> cases, bool listen);

/// The cases registered with the macros of cases.hpp, in registration order (declaration order
/// within a file, then the link order of files). Two cases of one name end the process with
/// status 2 and a message naming both places, before any case runs.
std::span<const TestCase> registeredCases();

/// The default main of vesk::harness_main: reads --list, --filter, --exclude, --help and
/// --listen=-, then runs the selected registered cases as `harnessMain` does.
int casesMain(int argc, char** argv);

}  // namespace vesk
