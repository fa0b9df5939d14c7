#include "case_result.hpp"

namespace vesk::driver {

bool isClean(const CaseResult& result) noexcept {
  return (result.outcome == Outcome::passed || result.outcome == Outcome::skipped) &&
         !result.leaked && result.log_errors == 0;
}

std::string problemMessage(const CaseResult& result) {
  std::string message;
  const auto add = [&](std::string_view part) {
    if (!message.empty()) message += "; ";
    message += part;
  };
  if (result.outcome == Outcome::failed) add("the case failed");
  if (result.leaked) add("it leaked memory");
  if (result.log_errors != 0) add(std::to_string(result.log_errors) + " errors were logged");
  return message;
}

Tally tally(std::span<const CaseResult> results) noexcept {
  Tally t;
  for (const CaseResult& result : results) {
    switch (result.outcome) {
      case Outcome::passed:
        ++t.passed;
        break;
      case Outcome::failed:
        ++t.failed;
        break;
      case Outcome::skipped:
        ++t.skipped;
        break;
      case Outcome::crashed:
        ++t.crashed;
        break;
      case Outcome::timed_out:
        ++t.timed_out;
        break;
      case Outcome::interrupted:
        ++t.interrupted;
        break;
      case Outcome::not_run:
        ++t.not_run;
        break;
    }
    if (isFlaky(result)) ++t.flaky;
    if (result.leaked) ++t.leaked;
    t.log_errors += result.log_errors;
  }
  return t;
}

}  // namespace vesk::driver
