#include "run_case.hpp"

#include <vesk/checking_allocator.hpp>

namespace vesk {

CaseRun runCase(const TestCase& test, CaseReport report, const void* context) noexcept {
  ErrorTrace private_trace;
  ErrorTrace* trace = activeErrorTrace();
  if (trace == nullptr) trace = &private_trace;
  ErrorTrace* const installed = setActiveErrorTrace(trace);

  checkingAllocatorInit();
  // Emptied before the case too: a passing case may have handled errors of its own, and their
  // returns must not open the next failure's trace.
  trace->index = 0;
  CaseRun run{test.func()};
  report(context, run, *trace);
  trace->index = 0;
  run.leaked = checkingAllocatorDeinit() == Check::leak;

  setActiveErrorTrace(installed);
  return run;
}

}  // namespace vesk
