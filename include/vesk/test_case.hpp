// A registered case: the unit of work of the harness. An executable hands a table of them to
// `harnessMain`, which runs them in terminal mode or on a build driver's request.
#pragma once

#include <string_view>

#include <vesk/error.hpp>

namespace vesk {

/// One registered case: its full name ("module.test.description") and its procedure, which
/// returns success, the skip error (`Error::SkipCase`) or the error that failed it. An exception
/// that leaves the procedure fails the case with "UncaughtException" (its type and `what()` are
/// printed) and the run goes on; one that reaches a `noexcept` function on its way out still ends
/// the process, as the language requires.
struct TestCase {
  std::string_view name;
  Result<void> (*func)();
};

}  // namespace vesk
