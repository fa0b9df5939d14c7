// vesk-run's results in TAP version 13 on standard output (`--format tap`), for harnesses that read
// TAP: "TAP version 13", one `ok` or `not ok` point per case as it finishes, diagnostics of a bad
// case (and with --verbose of every case) as a YAML block under its point, and the plan last, so
// that a case revised after its result can get a point of its own. Nothing here runs cases.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "case_result.hpp"
#include "scheduler.hpp"

namespace vesk::driver {

/// Appends the point numbered `number` for `result` of the case `name`, with its YAML block when
/// the case is not clean or `verbose` is set.
void appendTapPoint(std::string& out, std::size_t number, std::string_view name,
                    const CaseResult& result, bool verbose);

/// The whole TAP stream of a run that has no case to run: the header and a skipping plan.
std::string tapNothingToRun(std::string_view reason);

/// Writes a run's TAP stream to a descriptor as the cases finish.
class TapReporter final : public CaseEvents {
 public:
  /// `names` is the case table and `order` the table positions in the run's order (both must
  /// outlive the reporter); writes the header at once.
  TapReporter(std::span<const std::string> names, std::span<const std::uint32_t> order,
              bool verbose, int fd);
  TapReporter(const TapReporter&) = delete;
  TapReporter& operator=(const TapReporter&) = delete;
  ~TapReporter() override = default;

  void caseStarted(std::size_t slot) override;
  void caseFinished(const CaseResult& result) override;
  void caseRevised(const CaseResult& result) override;
  /// Writes a comment line: a point is only for a case that ended.
  void caseSlow(std::size_t slot, double seconds) override;
  Clock::time_point tick(Clock::time_point now) override;
  /// Writes the cases that did not finish or were not run, a point for servers that ended badly,
  /// and the plan.
  void finish(std::span<const CaseResult> results, std::span<const ServerExitProblem> problems);

 private:
  void point(const CaseResult& result);
  void flush();

  std::span<const std::string> names_;
  std::span<const std::uint32_t> order_;
  bool verbose_;
  int fd_;
  std::size_t points_ = 0;
  std::string queued_;
};

}  // namespace vesk::driver
