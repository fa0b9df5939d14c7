// The results of a run's cases, shared by the scheduler that produces them and the reporters that
// show them: how each case ended, the policy deciding which results are good, the counts a summary
// states, and the events through which a scheduler announces cases. Nothing here runs or prints.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vesk::driver {

using Clock = std::chrono::steady_clock;

/// How a case ended.
enum class Outcome : std::uint8_t {
  passed,
  failed,
  skipped,
  crashed,
  timed_out,
  interrupted,  ///< it had not finished when the run was interrupted (or broke off)
  not_run,      ///< it was never started: the run had reached its count of bad cases
};

/// A failed, crashed or timed-out try of a case that was run again.
struct EarlierTry {
  Outcome outcome = Outcome::failed;
  double seconds = 0;       ///< wall time of the try
  std::string output;       ///< what the try wrote on standard error, bounded
  std::string end_message;  ///< crashed or timed out: how the try ended
};

/// One selected case after its run.
struct CaseResult {
  std::uint32_t index = 0;  ///< position in the case table
  Outcome outcome = Outcome::interrupted;
  bool leaked = false;           ///< the checking allocator reported a leak
  std::uint32_t log_errors = 0;  ///< error-level log messages during the case
  double seconds = 0;            ///< wall time from the request to the reply (or the end)
  std::string output;            ///< what the case wrote on standard error, bounded
  std::string end_message;       ///< crashed or timed out: the report's first line, or how it ended
  std::vector<EarlierTry> earlier_tries;  ///< the tries before this one, oldest first
  std::size_t slot = 0;  ///< position in the run's order (a repeated case has one per run)
};

/// Whether the case passed after failing on earlier tries.
inline bool isFlaky(const CaseResult& result) noexcept {
  return result.outcome == Outcome::passed && !result.earlier_tries.empty();
}

/// Whether `result` counts as good for the exit status: passed or skipped, no leak, no log error.
bool isClean(const CaseResult& result) noexcept;

/// What is wrong with a case that failed, leaked or logged errors, in the words of JUnit's failure
/// message and TAP's diagnostics ("the case failed; it leaked memory; 2 errors were logged").
std::string problemMessage(const CaseResult& result);

/// Whether the case ran to an end of its own (anything but `interrupted` and `not_run`).
inline bool finished(const CaseResult& result) noexcept {
  return result.outcome != Outcome::interrupted && result.outcome != Outcome::not_run;
}

/// Counts of a run, as the summary states them.
struct Tally {
  std::uint64_t passed = 0;
  std::uint64_t skipped = 0;
  std::uint64_t failed = 0;
  std::uint64_t crashed = 0;
  std::uint64_t timed_out = 0;
  std::uint64_t interrupted = 0;
  std::uint64_t not_run = 0;
  std::uint64_t flaky = 0;       ///< passed cases (counted in `passed` too) that needed a retry
  std::uint64_t leaked = 0;      ///< cases after which a leak was reported
  std::uint64_t log_errors = 0;  ///< error-level log messages, all cases together
};

/// The counts over `results`.
Tally tally(std::span<const CaseResult> results) noexcept;

/// What a scheduler tells about the cases as they run; the live reporter is one listener.
class CaseEvents {
 public:
  virtual ~CaseEvents() = default;
  /// The case at `slot` of the selection was handed to a server.
  virtual void caseStarted(std::size_t slot) = 0;
  /// A case ended with `result`.
  virtual void caseFinished(const CaseResult& result) = 0;
  /// A case that had finished broke its server after its result: `result` is what counts now.
  virtual void caseRevised(const CaseResult& result) = 0;
  /// The case at `slot` is still running after `seconds`, a whole number of slow periods.
  virtual void caseSlow(std::size_t slot, double seconds) = 0;
  /// Called on every turn of the scheduler's loop; returns when the listener wants the next one.
  virtual Clock::time_point tick(Clock::time_point now) = 0;
};

}  // namespace vesk::driver
