// Running one registered case, the same way in terminal mode and in build-driver mode. Each mode
// keeps at its call what differs on purpose: what it resets besides (the log threshold, or the
// count of logged errors) and how it reports the result.
#pragma once

#include <vesk/error.hpp>
#include <vesk/test_case.hpp>

namespace vesk {

/// What running one case found.
struct CaseRun {
  Result<void> result;  ///< success, the skip error, or the error that failed the case
  bool leaked = false;  ///< the checking allocator reported a leak after the case

  bool skipped() const noexcept { return !result.has_value() && result.error() == Error::SkipCase; }
  bool failed() const noexcept { return !result.has_value() && result.error() != Error::SkipCase; }
};

/// Called with the result of a case while the trace still holds the error returns of a failure,
/// and before the case's allocations are checked.
using CaseReport = void (*)(const void* context, const CaseRun& run, const ErrorTrace& trace);

/// Runs `test` on a fresh checking-allocator instance with the active error-return trace emptied
/// (a private one when none is active), calls `report`, then empties the trace and releases the
/// instance, whose leak reports thus follow whatever `report` printed. An exception that leaves
/// the case is caught: its type and message are printed and the case fails with
/// "UncaughtException".
CaseRun runCase(const TestCase& test, CaseReport report, const void* context) noexcept;

/// Convenience form of `runCase` for any callable taking `(const CaseRun&, const ErrorTrace&)`.
template <class F>
CaseRun runCase(const TestCase& test, const F& report) noexcept {
  return runCase(
      test,
      [](const void* c, const CaseRun& run, const ErrorTrace& trace) {
        (*static_cast<const F*>(c))(run, trace);
      },
      &report);
}

}  // namespace vesk
