// What vesk-run shows of a run on standard error: the progress display (root "Test", one child
// per running case) on a terminal, or one line per finished case otherwise; the output of bad
// cases (of every case with --verbose); and the summary in the harness's words. Lines for a log
// are gathered and written at most every 100 ms, not one write per case.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <vesk/log.hpp>
#include "case_result.hpp"
#include "progress.hpp"

namespace vesk::driver {

/// Writes the standard-error report of one run.
class Reporter final : public CaseEvents {
 public:
  /// `names` is the case table (it must outlive the reporter); `selected` the table positions
  /// about to run; `verbose` shows every case's output.
  Reporter(std::span<const std::string> names, std::span<const std::uint32_t> selected,
           bool verbose);
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;
  ~Reporter() override;

  void caseStarted(std::size_t slot) override;
  void caseFinished(const CaseResult& result) override;
  void caseRevised(const CaseResult& result) override;
  /// Writes "{name}...SLOW (still running after {s} s)" at once.
  void caseSlow(std::size_t slot, double seconds) override;
  /// Writes queued lines when they have waited long enough; returns when to call again.
  Clock::time_point tick(Clock::time_point now) override;
  /// Ends the display and writes what is queued, without a summary: the run broke off.
  void abandon();
  /// Ends the display and writes what is queued, the summary of the finished cases and the
  /// slowest of them.
  void finish(std::span<const CaseResult> results, double seconds);

 private:
  void queueLine(const CaseResult& result, std::size_t number);
  void flush();
  void writeSlowest(Writer& out, std::span<const CaseResult> results);

  std::span<const std::string> names_;
  std::span<const std::uint32_t> selected_;
  bool verbose_;
  bool have_tty_;
  std::size_t done_ = 0;
  ProgressNode* root_ = nullptr;
  std::vector<ProgressNode*> nodes_;  // per slot of the selection
  std::string queued_;
  Clock::time_point last_flush_;
};

/// "0.04 ms" below a second, "1.25 s" from there on, appended to `out`.
void appendDuration(std::string& out, double seconds);

}  // namespace vesk::driver
