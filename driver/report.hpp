// What vesk-run shows of a run: the progress display (root "Test", one child per running case)
// on a terminal, or one line per finished case otherwise; the output of bad cases (of every case
// with --verbose); the summary in the harness's words; and the JUnit XML file for CI systems.
// Lines for a log are gathered and written at most every 100 ms, not one write per case.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "progress.hpp"
#include "session.hpp"

namespace vesk::driver {

/// Counts of a finished run, as the summary states them.
struct Tally {
  std::uint64_t passed = 0;
  std::uint64_t skipped = 0;
  std::uint64_t failed = 0;
  std::uint64_t crashed = 0;
  std::uint64_t timed_out = 0;
  std::uint64_t leaked = 0;      ///< cases after which a leak was reported
  std::uint64_t log_errors = 0;  ///< error-level log messages, all cases together
};

/// The counts over `results`.
Tally tally(std::span<const CaseResult> results) noexcept;

/// Writes the standard-error report of one run.
class Reporter {
 public:
  /// `names` is the case table (it must outlive the reporter); `selected` the table positions
  /// about to run; `verbose` shows every case's output.
  Reporter(std::span<const std::string> names, std::span<const std::uint32_t> selected,
           bool verbose);
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;
  ~Reporter();

  /// A case at `slot` of the selection was handed to a server.
  void caseStarted(std::size_t slot);
  /// A case ended; its line (and output) is written or queued.
  void caseFinished(const CaseResult& result);
  /// Writes queued lines when they have waited long enough; returns when to call again.
  Clock::time_point flushIfDue(Clock::time_point now);
  /// Ends the display and writes what is queued, without a summary: the run broke off.
  void abandon();
  /// Ends the display and writes what is queued and the summary.
  void finish(std::span<const CaseResult> results, double seconds);

 private:
  void flush();

  std::span<const std::string> names_;
  std::span<const std::uint32_t> selected_;
  bool verbose_;
  bool have_tty_;
  std::size_t done_ = 0;
  ProgressNode* root_ = nullptr;
  std::vector<ProgressNode*> nodes_;        // per slot of the selection
  std::vector<std::size_t> slot_of_index_;  // table position -> slot
  std::string queued_;
  Clock::time_point last_flush_;
};

/// Writes the JUnit report of a run to `path`, through a temporary file renamed into place, so
/// the file is either the old one or the whole new one. `suite` names the test suite.
std::expected<void, std::string> writeJunit(const std::string& path, std::string_view suite,
                                            std::span<const std::string> names,
                                            std::span<const CaseResult> results, double seconds);

/// Refuses, before any case runs, a JUnit path that cannot be written: a directory, or a file in
/// a directory that is missing or takes no new files. The error says so in the driver's words.
std::expected<void, std::string> checkJunitPath(const std::string& path);

}  // namespace vesk::driver
