#include "stop.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include <vesk/log.hpp>
#include <vesk/vesk_base.hpp>

#include "progress.hpp"
#include "report_lines.hpp"
#include "signal_stack.hpp"
#include "stack_trace.hpp"
#include "symbolize.hpp"

namespace vesk {

namespace {

// A report must end the process by the abort signal whatever the reporting thread held, so it is
// bounded in time: after the first limit a watchdog writes the rest unsymbolised and aborts, after
// the second the abort signal is sent regardless (docs/stop-reports.md).
constexpr long SYMBOLISED_BUDGET_MS = 1000;
constexpr long HARD_LIMIT_MS = 1500;
constexpr int WATCHDOG_SIGNAL = SIGALRM;

std::mutex stop_mutex;
thread_local int panic_stage = 0;

// The report in progress. Only one thread reports at a time (`stop_mutex` is never released), and
// besides it only signal handlers running on that thread read this, so release stores and acquire
// loads order it.
struct Report {
  std::atomic<pid_t> tid;  // the reporting thread; 0 before any report
  // The first line: a stop's message, or a fault's signal and address.
  std::string_view message;
  int signo;  // 0 for a stop
  bool no_address;
  std::uintptr_t fault_address;
  std::atomic<bool> header_out;
  // The error-return trace being handled, and how many of its entries are out.
  const ErrorTrace* trace;
  std::atomic<std::size_t> trace_out;
  std::atomic<bool> trace_done;
  // The frame-pointer walk, then, for a fault, the unwinder's better start; `stack` is the one
  // being printed.
  CapturedStack stacks[2];
  std::atomic<const CapturedStack*> stack;
  std::atomic<std::size_t> stack_out;
  std::atomic<bool> stack_done;
  // The report's writer, and how much it had flushed when the last piece was finished: a writer
  // also flushes by itself when its buffer is full, in the middle of an entry.
  const Writer* writer;
  std::atomic<std::uint64_t> flushed_at_commit;
  std::atomic<bool> finishing;
};

constinit Report report{};

[[noreturn]] void abortNow() noexcept {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGABRT, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGABRT);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  static_cast<void>(::raise(SIGABRT));  // if it returns at all, the exit below ends the process
  ::_exit(127);
}

std::string_view faultMessage(int signo) noexcept {
  switch (signo) {
    case SIGSEGV:
      return SEGV_LINE_START;
    case SIGILL:
      return ILL_LINE_START;
    case SIGBUS:
      return BUS_LINE_START;
    case SIGFPE:
      return FPE_LINE_START;
    default:
      return UNKNOWN_SIGNAL_LINE_START;
  }
}

void printHeader(Writer& out) noexcept {
  if (report.signo == 0) {
    out.put(PANIC_LINE_START).dec(static_cast<std::uint64_t>(report.tid.load()));
    out.put(PANIC_LINE_MIDDLE);
    out.put(report.message).put("\n");
  } else if (report.no_address) {
    out.put(NO_ADDRESS_LINE).put("\n");
  } else {
    out.put(faultMessage(report.signo)).hex(report.fault_address).put("\n");
  }
}

// Flushes `out` and records `value` in `mark` with the watchdog held off, so that what is recorded
// is exactly what is out. Should the write block for good, the abort timer still fires.
template <class T>
void commit(Writer& out, std::atomic<T>& mark, T value) noexcept {
  sigset_t watchdog, saved;
  sigemptyset(&watchdog);
  sigaddset(&watchdog, WATCHDOG_SIGNAL);
  ::pthread_sigmask(SIG_BLOCK, &watchdog, &saved);
  out.flush();
  mark.store(value, std::memory_order_release);
  report.flushed_at_commit.store(out.flushed(), std::memory_order_release);
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void traceEntryDone(Writer& out, std::size_t done) noexcept {
  commit(out, report.trace_out, done);
}

void stackEntryDone(Writer& out, std::size_t done) noexcept {
  commit(out, report.stack_out, done);
}

// Writes what the report has not got out yet, without source locations, and aborts. Runs on the
// reporting thread, from its watchdog or from a fault inside the report.
[[noreturn]] void finishUnsymbolised() noexcept {
  if (report.finishing.exchange(true)) abortNow();  // it faulted itself
  Writer out;
  if (report.writer != nullptr &&
      report.writer->flushed() != report.flushed_at_commit.load(std::memory_order_acquire)) {
    out.put("\n");  // part of an entry is out: its line ends here, its address follows
  }
  if (!report.header_out.load(std::memory_order_acquire)) printHeader(out);
  if (report.trace != nullptr && !report.trace_done.load(std::memory_order_acquire)) {
    printErrorTraceUnsymbolised(out, *report.trace,
                                report.trace_out.load(std::memory_order_acquire));
  }
  const CapturedStack* stack = report.stack.load(std::memory_order_acquire);
  if (stack != nullptr && !report.stack_done.load(std::memory_order_acquire)) {
    const std::size_t from =
        std::min(report.stack_out.load(std::memory_order_acquire), stack->count);
    const AddressKind first =
        from == 0 && stack->first_is_exact ? AddressKind::exact : AddressKind::return_address;
    printStackUnsymbolised(
        out, std::span<const std::uint64_t>(stack->addresses, stack->count).subspan(from), first);
  }
  out.flush();
  abortNow();
}

void watchdogFired(int, siginfo_t* info, void*) {
  if (info->si_code != SI_TIMER) return;  // someone else's alarm: the report goes on
  finishUnsymbolised();
}

// A one-shot timer of thread `tid` that sends it `signo` after `ms` milliseconds. Raw system
// calls: the C library's wrapper is not promised to stay away from the heap.
void armThreadTimer(pid_t tid, int signo, long ms) noexcept {
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = signo;
  event._sigev_un._tid = tid;
  int timer = 0;
  if (::syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &timer) != 0) return;
  itimerspec when{};
  when.it_value.tv_sec = ms / 1000;
  when.it_value.tv_nsec = (ms % 1000) * 1000000;
  ::syscall(SYS_timer_settime, timer, 0, &when, nullptr);
}

// Starts the report whose first line the caller has described in `report`: from here on, whatever
// the report waits for, it ends within `hard_limit_ms`.
void beginReport(const Writer& out) noexcept {
  report.writer = &out;
  const pid_t tid = ::gettid();
  report.tid.store(tid, std::memory_order_release);

  struct sigaction act {};
  act.sa_handler = SIG_DFL;
  ::sigaction(SIGABRT, &act, nullptr);
  act.sa_sigaction = watchdogFired;
  act.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&act.sa_mask);
  ::sigaction(WATCHDOG_SIGNAL, &act, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGABRT);
  sigaddset(&set, WATCHDOG_SIGNAL);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);

  armThreadTimer(tid, WATCHDOG_SIGNAL, SYMBOLISED_BUDGET_MS);
  armThreadTimer(tid, SIGABRT, HARD_LIMIT_MS);
}

[[noreturn]] void stopReport(std::string_view message, const ErrorTrace* trace,
                             std::uintptr_t frame, std::uintptr_t) {
  ++panic_stage;
  if (panic_stage == 2) {
    Writer out;
    out.put(NESTED_PANIC_LINE).put("\n");
    out.flush();
    abortNow();
  }
  if (panic_stage > 2) abortNow();
  stop_mutex.lock();  // held until the process ends: one report at a time
  report.message = message;
  report.trace = trace != nullptr && trace->index > 0 ? trace : nullptr;
  Writer out;
  beginReport(out);
  progressEraseForReport();

  CapturedStack& stack = report.stacks[0];
  stack.count = walkFrames(frame, frame, stack.addresses);
  report.stack.store(&stack, std::memory_order_release);

  printHeader(out);
  commit(out, report.header_out, true);
  if (report.trace != nullptr) {
    printErrorTrace(out, *report.trace, traceEntryDone);
    commit(out, report.trace_done, true);
  }
  printStackTrace(out, std::span<const std::uint64_t>(stack.addresses, stack.count), false,
                  stackEntryDone);
  commit(out, report.stack_done, true);
  abortNow();
}

void faultHandler(int signo, siginfo_t* info, void* raw_context) {
  ++panic_stage;
  if (panic_stage > 1) {
    // A fault inside a report, or inside its watchdog: what is not out yet goes out unsymbolised.
    if (report.tid.load(std::memory_order_acquire) == ::gettid()) finishUnsymbolised();
    abortNow();
  }
  stop_mutex.lock();
  report.signo = signo;
  report.no_address = signo == SIGSEGV && info->si_code == SI_KERNEL;
  report.fault_address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  Writer out;
  beginReport(out);
  progressEraseForReport();

  const FaultPlace place = faultPlace(signo, *info, *static_cast<const ucontext_t*>(raw_context));
  walkFaultStack(place, report.stacks[0]);
  report.stack.store(&report.stacks[0], std::memory_order_release);

  printHeader(out);
  commit(out, report.header_out, true);
  if (unwindFaultStack(place, report.stacks[1])) {
    report.stack.store(&report.stacks[1], std::memory_order_release);
  }
  const CapturedStack& stack = *report.stack.load(std::memory_order_relaxed);
  printStackTrace(out, std::span<const std::uint64_t>(stack.addresses, stack.count),
                  stack.first_is_exact, stackEntryDone);
  commit(out, report.stack_done, true);
  abortNow();
}

}  // namespace

void installStopHandlers() noexcept {
  setPanicHandler(stopReport);

  giveThreadSignalStack();

  struct sigaction act {};
  act.sa_sigaction = faultHandler;
  // SA_NODEFER: a fault inside the report enters again, to finish the report and abort, where a
  // blocked signal would end the process by itself, by that signal and without a word.
  act.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&act.sa_mask);
  for (int signo : {SIGSEGV, SIGILL, SIGBUS, SIGFPE})
    ::sigaction(signo, &act, nullptr);
  (void)stackEnd();  // learn the main thread's stack bounds before anything can go wrong
}

void restoreStopReport() noexcept {
  setPanicHandler(stopReport);
}

}  // namespace vesk
