#include "case_verdict.hpp"

#include <atomic>

namespace vesk {

namespace {

// What the running case found besides its result. Process-wide, not per thread: a check made on
// a thread the case started fails that case too.
struct Verdict {
  std::atomic<bool> check_failed{false};
  std::atomic<Error> check_error{Error::TestUnexpectedResult};
  std::atomic<bool> expectation_failed{false};
  std::atomic<Error> expectation_error{Error::TestUnexpectedResult};
  std::atomic<std::uint64_t> expectation_caller{0};
  std::atomic<bool> skipped{false};
  std::atomic<bool> ended{false};
};

Verdict& verdict() noexcept {
  static Verdict v;
  return v;
}

}  // namespace

void caseVerdictBegin() noexcept {
  Verdict& v = verdict();
  v.check_failed.store(false);
  v.expectation_failed.store(false);
  v.skipped.store(false);
  v.ended.store(false);
}

Result<void> caseVerdictSettle(Result<void> returned) noexcept {
  Verdict& v = verdict();
  if (!returned.has_value()) return returned;
  if (v.check_failed.load()) return std::unexpected(v.check_error.load());
  if (v.skipped.load()) return std::unexpected(Error::SkipCase);
  if (v.expectation_failed.load()) {
    // The dropped call is the place to look at: it goes into the trace as if it had been passed up.
    recordErrorReturn(v.expectation_caller.load());
    return std::unexpected(v.expectation_error.load());
  }
  return returned;
}

void caseVerdictCheckFailed(Error error) noexcept {
  Verdict& v = verdict();
  if (!v.check_failed.exchange(true)) v.check_error.store(error);
}

void caseVerdictExpectationFailed(Error error, std::uint64_t caller) noexcept {
  Verdict& v = verdict();
  if (!v.expectation_failed.exchange(true)) {
    v.expectation_error.store(error);
    v.expectation_caller.store(caller);
  }
}

void caseVerdictSkip() noexcept {
  verdict().skipped.store(true);
}

void caseVerdictEnd() noexcept {
  verdict().ended.store(true);
}

bool caseVerdictEnded() noexcept {
  return verdict().ended.load();
}

}  // namespace vesk
