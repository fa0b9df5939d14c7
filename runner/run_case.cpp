#include "run_case.hpp"

#include "case_verdict.hpp"
#include "throw_site.hpp"

#include <cxxabi.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include <vesk/checking_allocator.hpp>
#include <vesk/log.hpp>
#include "case_guard.hpp"
#include "checking_new.hpp"
#include "stderr_lock.hpp"

namespace vesk {

namespace {

// Prints "uncaught exception of type {type}", then ": {what}" when there is a message. `type`
// is a mangled name, or null when the runtime does not know the type (a foreign exception).
void printUncaught(const char* type, const char* what) noexcept {
  int status = 0;
  // Allocates through malloc: acceptable here, on the case's own thread between cases, never on
  // a crash path.
  char* demangled =
      type != nullptr ? abi::__cxa_demangle(type, nullptr, nullptr, &status) : nullptr;
  {
    LockedStderr locked;
    Writer& out = locked.out;
    out.put("uncaught exception of ");
    if (type == nullptr) {
      out.put("unknown type");
    } else {
      out.put("type ").put(demangled != nullptr ? demangled : type);
    }
    if (what != nullptr && *what != '\0') out.put(": ").put(what);
    out.put('\n');
  }
  std::free(demangled);
}

// Prints the message for the exception being handled: for a `std::exception` its dynamic type and
// `what()`, for anything else the thrown type alone.
void printCurrentException() noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    printUncaught(typeid(e).name(), e.what());
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    printUncaught(type != nullptr ? type->name() : nullptr, nullptr);
  }
}

}  // namespace

CaseRun runCase(const TestCase& test, CaseReport report, const void* context) noexcept {
  ErrorTrace private_trace;
  ErrorTrace* trace = activeErrorTrace();
  if (trace == nullptr) trace = &private_trace;
  ErrorTrace* const installed = setActiveErrorTrace(trace);

  checkingAllocatorInit();
  // Emptied before the case too: a passing case may have handled errors of its own, and their
  // returns must not open the next failure's trace.
  trace->index = 0;
  CaseRun run;
  caseVerdictBegin();
  beginCase(test);
  try {
    const CaseNewChecks checks;  // the case's ordinary new goes through the checking allocator
    run.result = test.func();
  } catch (...) {
    // Fails the case, with the place of the throw and the error return recorded here, instead of
    // ending the process: the run goes on with the next case.
    printCurrentException();
    for (const std::uint64_t site : lastThrowSites())
      recordErrorReturn(site);
    run.result = VESK_FAIL(Error::UncaughtException);
  }
  // A child the case forked that returns from it ends here, with the case's verdict as its status:
  // carrying on, it would run the rest of the cases as a second harness (and, serving a driver,
  // answer on the same protocol stream).
  if (inForkedChild()) {
    const Result<void> verdict = caseVerdictSettle(run.result);
    (void)std::fflush(nullptr);
    ::_exit(verdict.has_value() || verdict.error() == Error::SkipCase ? 0 : 1);
  }
  endCase();
  run.result = caseVerdictSettle(run.result);
  report(context, run, *trace);
  trace->index = 0;
  run.leaked = checkingAllocatorDeinit() == Check::leak;

  setActiveErrorTrace(installed);
  return run;
}

}  // namespace vesk
