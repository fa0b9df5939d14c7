// The closing sentences of a run, in the words terminal mode and the build driver both print:
// "All 36 tests passed.", or the counts of each outcome, then the logged errors and the leaks.
// Text only: where it goes, and under which lock, is the caller's.
#pragma once

#include <cstdint>

#include <vesk/log.hpp>

namespace vesk {

/// Counts of a finished run, as the summary states them.
struct RunCounts {
  std::uint64_t selected = 0;    ///< cases that were to run
  std::uint64_t passed = 0;      ///< cases that returned success
  std::uint64_t skipped = 0;     ///< cases that skipped themselves
  std::uint64_t failed = 0;      ///< cases that returned an error
  std::uint64_t crashed = 0;     ///< cases whose process stopped or faulted
  std::uint64_t timed_out = 0;   ///< cases stopped at their time limit
  std::uint64_t leaked = 0;      ///< cases after which a leak was reported
  std::uint64_t log_errors = 0;  ///< error-level log messages, all cases together
  std::uint64_t flaky = 0;       ///< cases that passed on a retry (counted in `passed` too)
};

/// Writes the summary of `counts`, one line each: "All {d} tests passed." when every selected
/// case passed, else "{d} passed; {d} skipped; {d} failed." (with "; {d} crashed; {d} timed out"
/// before the full stop when either is not 0); then "{d} errors were logged.", "{d} tests were
/// flaky (passed on a retry)." and "{d} tests leaked memory." when not 0.
void writeSummary(Writer& out, const RunCounts& counts) noexcept;

}  // namespace vesk
