#include "report.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include <vesk/log.hpp>
#include "stderr_lock.hpp"
#include "summary.hpp"
#include "terminal.hpp"
#include "writer.hpp"

namespace vesk::driver {

namespace {

using namespace std::chrono_literals;

// Lines for a log wait at most this long, or until this many bytes are queued.
constexpr auto FLUSH_INTERVAL = 100ms;
constexpr std::size_t FLUSH_BYTES = std::size_t{32} * 1024;
// The summary names this many of the slowest cases.
constexpr std::size_t SLOWEST_SHOWN = 5;

void appendNumber(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

std::string_view resultWord(Outcome outcome) {
  switch (outcome) {
    case Outcome::passed:
      return "OK";
    case Outcome::failed:
      return "FAIL";
    case Outcome::skipped:
      return "SKIP";
    case Outcome::crashed:
      return "CRASH";
    case Outcome::timed_out:
      return "TIMEOUT";
    case Outcome::interrupted:
      return "INTERRUPTED";
    case Outcome::not_run:
      return "NOT RUN";
  }
  return "?";
}

}  // namespace

void appendDuration(std::string& out, double seconds) {
  char text[32];
  const int n = seconds < 1 ? std::snprintf(text, sizeof text, "%.2f ms", seconds * 1000)
                            : std::snprintf(text, sizeof text, "%.2f s", seconds);
  out.append(text, std::min(static_cast<std::size_t>(std::max(n, 0)), sizeof text - 1));
}

Reporter::Reporter(std::span<const std::string> names, std::span<const std::uint32_t> selected,
                   bool verbose)
    : names_(names),
      selected_(selected),
      verbose_(verbose),
      have_tty_(Terminal::forErrorSink().isTerminal()),
      nodes_(selected.size(), nullptr),
      last_flush_(Clock::now()) {
  queued_.reserve(FLUSH_BYTES + 4096);
  root_ = progressStart("Test", selected.size());
}

Reporter::~Reporter() {
  if (root_ != nullptr) progressEnd(root_);
}

void Reporter::caseStarted(std::size_t slot) {
  // A case run again still has the node of its failed try.
  if (nodes_[slot] != nullptr) progressEnd(nodes_[slot]);
  nodes_[slot] = progressStartChild(root_, names_[selected_[slot]], 0);
}

void Reporter::caseFinished(const CaseResult& result) {
  ++done_;
  ProgressNode*& node = nodes_[result.slot];
  progressEnd(node);
  node = nullptr;
  // On a terminal the display names the running cases; lines are for what needs a look.
  if (have_tty_ && isClean(result) && !verbose_ && result.outcome != Outcome::skipped) return;
  queueLine(result, done_);
}

void Reporter::caseSlow(std::size_t slot, double seconds) {
  char text[48];
  (void)std::snprintf(text, sizeof text, "...SLOW (still running after %g s)\n", seconds);
  queued_ += names_[selected_[slot]];
  queued_ += text;
  // Shown at once: a line that waits for the next flush says less about a case that hangs.
  flush();
}

void Reporter::caseRevised(const CaseResult& result) {
  // Its line again, with what counts now; the number is the one it finished with before.
  queueLine(result, done_);
}

void Reporter::queueLine(const CaseResult& result, std::size_t number) {
  appendNumber(queued_, number);
  queued_ += '/';
  appendNumber(queued_, selected_.size());
  queued_ += ' ';
  queued_ += names_[result.index];
  queued_ += "...";
  queued_ += isFlaky(result) ? "FLAKY" : resultWord(result.outcome);
  if (!result.earlier_tries.empty()) {
    queued_ += " (try ";
    appendNumber(queued_, result.earlier_tries.size() + 1);
    queued_ += ", after ";
    for (std::size_t i = 0; i < result.earlier_tries.size(); ++i) {
      if (i != 0) queued_ += ", ";
      queued_ += resultWord(result.earlier_tries[i].outcome);
    }
    queued_ += ')';
  }
  if (!result.end_message.empty()) {
    queued_ += " (";
    queued_ += result.end_message;
    queued_ += ')';
  }
  if (result.leaked) queued_ += ", leaked memory";
  if (result.log_errors != 0) {
    queued_ += ", ";
    appendNumber(queued_, result.log_errors);
    queued_ += " errors logged";
  }
  queued_ += " [";
  appendDuration(queued_, result.seconds);
  queued_ += "]\n";
  if ((!isClean(result) || verbose_) && !result.output.empty()) {
    queued_ += result.output;
    if (result.output.back() != '\n') queued_ += '\n';
  }
  if (have_tty_ || queued_.size() >= FLUSH_BYTES) flush();
}

Clock::time_point Reporter::tick(Clock::time_point now) {
  if (queued_.empty()) return Clock::time_point::max();
  if (now - last_flush_ < FLUSH_INTERVAL) return last_flush_ + FLUSH_INTERVAL;
  flush();
  return Clock::time_point::max();
}

void Reporter::flush() {
  last_flush_ = Clock::now();
  if (queued_.empty()) return;
  StderrLock lock;  // erases the progress display first
  writeAll(errorSink(), queued_.data(), queued_.size());
  queued_.clear();
}

void Reporter::abandon() {
  if (root_ != nullptr) progressEnd(root_);
  root_ = nullptr;
  flush();
}

void Reporter::finish(std::span<const CaseResult> results, double seconds) {
  abandon();
  const Tally t = tally(results);
  LockedStderr locked;
  Writer& out = locked.out;
  // An unfinished case is selected but not passed, so an interrupted run never reads "All".
  writeSummary(out, RunCounts{.selected = results.size(),
                              .passed = t.passed,
                              .skipped = t.skipped,
                              .failed = t.failed,
                              .crashed = t.crashed,
                              .timed_out = t.timed_out,
                              .leaked = t.leaked,
                              .log_errors = t.log_errors,
                              .flaky = t.flaky});
  if (t.interrupted != 0) out.dec(t.interrupted).put(" tests did not finish.\n");
  if (t.not_run != 0)
    out.dec(t.not_run).put(" tests were not run (the run stopped at its failure limit).\n");
  std::string total;
  appendDuration(total, seconds);
  out.put("Finished in ").put(total).put(".\n");
  writeSlowest(out, results);
}

void Reporter::writeSlowest(Writer& out, std::span<const CaseResult> results) {
  std::vector<const CaseResult*> ran;
  for (const CaseResult& result : results) {
    if (finished(result)) ran.push_back(&result);
  }
  // One case's time is already on its line.
  if (ran.size() < 2) return;
  const std::size_t shown = std::min<std::size_t>(ran.size(), SLOWEST_SHOWN);
  std::partial_sort(
      ran.begin(), ran.begin() + static_cast<std::ptrdiff_t>(shown), ran.end(),
      [](const CaseResult* a, const CaseResult* b) { return a->seconds > b->seconds; });
  out.put("Slowest:\n");
  for (std::size_t i = 0; i < shown; ++i) {
    std::string time;
    appendDuration(time, ran[i]->seconds);
    out.put("  ").put(std::string(time.size() < 10 ? 10 - time.size() : 0, ' ')).put(time);
    out.put("  ").put(names_[ran[i]->index]).put("\n");
  }
}

}  // namespace vesk::driver
