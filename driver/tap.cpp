#include "tap.hpp"

#include <algorithm>
#include <cstdio>

#include <vesk/log.hpp>
#include "writer.hpp"

namespace vesk::driver {

namespace {

std::string_view outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::passed:
      return "passed";
    case Outcome::failed:
      return "failed";
    case Outcome::skipped:
      return "skipped";
    case Outcome::crashed:
      return "crashed";
    case Outcome::timed_out:
      return "timed out";
    case Outcome::interrupted:
      return "interrupted";
    case Outcome::not_run:
      return "not run";
  }
  return "?";
}

// A point's description: `#` would start a directive and `\` escapes, so both are escaped.
void appendDescription(std::string& out, std::string_view name) {
  for (const char c : name) {
    if (c == '#' || c == '\\') out += '\\';
    out += c;
  }
}

// A YAML double-quoted scalar on one line: control characters as escapes, other bytes as they
// are (UTF-8 stays readable).
void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      static constexpr char HEX[] = "0123456789abcdef";
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

// A YAML block's message: the report's first line for a crash or timeout, what is wrong for
// another bad case, nothing for a clean one.
std::string blockMessage(const CaseResult& result) {
  if (result.outcome == Outcome::crashed || result.outcome == Outcome::timed_out)
    return result.end_message;
  if (result.outcome == Outcome::interrupted) return "interrupted";
  return problemMessage(result);
}

void appendBlock(std::string& out, const CaseResult& result) {
  char duration[32];
  const int length = std::snprintf(duration, sizeof duration, "%.3f", result.seconds * 1000);
  out += "  ---\n";
  if (const std::string message = blockMessage(result); !message.empty()) {
    out += "  message: ";
    appendQuoted(out, message);
    out += '\n';
  }
  out += "  outcome: ";
  out += outcomeName(result.outcome);
  out += "\n  leaked: ";
  out += result.leaked ? "true" : "false";
  out += "\n  errors_logged: " + std::to_string(result.log_errors);
  out += "\n  duration_ms: ";
  out.append(duration,
             std::min(static_cast<std::size_t>(std::max(length, 0)), sizeof duration - 1));
  if (!result.output.empty()) {
    out += "\n  output: ";
    appendQuoted(out, result.output);
  }
  out += "\n  ...\n";
}

}  // namespace

void appendTapPoint(std::string& out, std::size_t number, std::string_view name,
                    const CaseResult& result, bool verbose) {
  if (result.outcome == Outcome::not_run) {
    out += "ok " + std::to_string(number) + " - ";
    appendDescription(out, name);
    out += " # SKIP not run\n";
    return;
  }
  const bool clean = isClean(result);
  out += clean ? "ok " : "not ok ";
  out += std::to_string(number);
  out += " - ";
  appendDescription(out, name);
  if (clean && result.outcome == Outcome::skipped) out += " # SKIP";
  out += '\n';
  if (!clean || verbose) appendBlock(out, result);
  // A directive cannot say it: a comment tells a reader what the point alone does not.
  if (isFlaky(result)) {
    out += "# flaky: ";
    out += name;
    out += " passed on try " + std::to_string(result.earlier_tries.size() + 1) + ", after";
    for (std::size_t i = 0; i < result.earlier_tries.size(); ++i) {
      out += i == 0 ? " " : ", ";
      out += outcomeName(result.earlier_tries[i].outcome);
    }
    out += '\n';
  }
}

std::string tapNothingToRun(std::string_view reason) {
  std::string out = "TAP version 13\n1..0 # SKIP ";
  appendDescription(out, reason);
  out += '\n';
  return out;
}

TapReporter::TapReporter(std::span<const std::string> names, std::span<const std::uint32_t> order,
                         bool verbose, int fd)
    : names_(names), order_(order), verbose_(verbose), fd_(fd), queued_("TAP version 13\n") {
  flush();
}

void TapReporter::caseStarted(std::size_t /*slot*/) {}

void TapReporter::caseSlow(std::size_t slot, double seconds) {
  char text[48];
  (void)std::snprintf(text, sizeof text, " (still running after %g s)\n", seconds);
  queued_ += "# SLOW ";
  queued_ += names_[order_[slot]];
  queued_ += text;
  flush();
}

void TapReporter::caseFinished(const CaseResult& result) {
  point(result);
}

void TapReporter::caseRevised(const CaseResult& result) {
  // A point cannot be taken back: the revision is a point of its own, and it fails.
  point(result);
}

Clock::time_point TapReporter::tick(Clock::time_point /*now*/) {
  return Clock::time_point::max();
}

void TapReporter::finish(std::span<const CaseResult> results,
                         std::span<const ServerExitProblem> problems) {
  for (const CaseResult& result : results) {
    if (!finished(result)) point(result);
  }
  if (!problems.empty()) {
    CaseResult server;
    server.outcome = Outcome::crashed;
    for (const ServerExitProblem& problem : problems) {
      server.end_message += (server.end_message.empty() ? "" : "; ") + problem.message;
      server.output += problem.output;
    }
    queued_ += "not ok " + std::to_string(++points_) + " - server exit\n";
    appendBlock(queued_, server);
  }
  queued_ += "1.." + std::to_string(points_) + '\n';
  flush();
}

void TapReporter::point(const CaseResult& result) {
  appendTapPoint(queued_, ++points_, names_[result.index], result, verbose_);
  flush();
}

void TapReporter::flush() {
  if (queued_.empty()) return;
  // A reader that went away costs nothing but the stream: the run and its exit status go on.
  (void)writeAll(fd_, queued_.data(), queued_.size());
  queued_.clear();
}

}  // namespace vesk::driver
