// The verdict of the running case beyond what it returned: checks that failed without ending it,
// a skip it asked for, and failed expectations whose result it dropped. The case runner opens it
// before each case and settles the case's result with it after; checks and expectations note
// what they found in it.
#pragma once

#include <cstdint>

#include <vesk/error.hpp>

namespace vesk {

/// Empties the verdict for the case about to run.
void caseVerdictBegin() noexcept;

/// The result of the case that just ran: what it returned when that is an error; otherwise the
/// error of its first failed check, the skip it asked for, or the error of its first failed
/// expectation whose result it dropped (whose call is then recorded in the active trace).
Result<void> caseVerdictSettle(Result<void> returned) noexcept;

/// A check of the running case failed with `error`.
void caseVerdictCheckFailed(Error error) noexcept;

/// An expectation failed with `error`, called from `caller`; harmless when the case passes the
/// result up, as it then returns the error itself.
void caseVerdictExpectationFailed(Error error, std::uint64_t caller) noexcept;

/// The running case asked to be skipped.
void caseVerdictSkip() noexcept;

/// A fatal check ended the running case (or its fixture's constructor).
void caseVerdictEnd() noexcept;
/// Whether a fatal check ended the running case.
bool caseVerdictEnded() noexcept;

}  // namespace vesk
