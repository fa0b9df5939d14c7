#include "stop.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <mutex>

#include <vesk/log.hpp>
#include <vesk/vesk_base.hpp>

#include "progress.hpp"
#include "symbolize.hpp"

// Where the main thread's stack begins, set by the C library under its own reserved name.
extern "C" void* __libc_stack_end;  // NOLINT(bugprone-reserved-identifier)

namespace vesk {

namespace {

constexpr std::size_t max_stack_entries = 64;
// Large enough to symbolise on: the fault report reads debug information on this stack.
constexpr std::size_t alt_stack_size = std::size_t{512} * 1024;

std::mutex stop_mutex;
thread_local int panic_stage = 0;

// The highest address of this thread's stack; frames are looked for only below it.
std::uintptr_t stackEnd() noexcept {
  thread_local std::uintptr_t end = 0;
  if (end != 0) return end;
  if (::gettid() == ::getpid()) {
    end = reinterpret_cast<std::uintptr_t>(__libc_stack_end);
  } else {
    pthread_attr_t attr;
    void* addr = nullptr;
    std::size_t size = 0;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
      ::pthread_attr_getstack(&attr, &addr, &size);
      ::pthread_attr_destroy(&attr);
    }
    end = reinterpret_cast<std::uintptr_t>(addr) + size;
  }
  return end;
}

// Walks the frame-pointer chain from `fp`. Every frame read lies between the lowest frame and the
// stack's end, and frames must move strictly upwards, so a broken chain ends the walk instead of
// reading unmapped memory.
std::size_t walkFrames(std::uintptr_t fp, std::uintptr_t first_address,
                       std::span<std::uint64_t> out) noexcept {
  const std::uintptr_t low = fp;
  const std::uintptr_t high = stackEnd();
  bool recording = first_address == 0;
  std::size_t n = 0;
  while (n < out.size() && fp >= low && fp % alignof(std::uintptr_t) == 0 &&
         fp + 2 * sizeof(std::uintptr_t) <= high) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): frames are found as numbers on the stack
    const auto* frame = reinterpret_cast<const std::uintptr_t*>(fp);
    const std::uintptr_t ret = frame[1];
    if (ret == 0) break;
    if (!recording && ret == first_address) recording = true;
    if (recording) out[n++] = ret;
    const std::uintptr_t next = frame[0];
    if (next <= fp) break;
    fp = next;
  }
  return n;
}

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

[[noreturn]] void stopReport(std::string_view message, const ErrorTrace* trace,
                             std::uintptr_t frame, std::uintptr_t) {
  ++panic_stage;
  if (panic_stage == 2) {
    Writer out;
    out.put("Panicked during a panic. Aborting.\n");
    out.flush();
    abortNow();
  }
  if (panic_stage > 2) abortNow();
  stop_mutex.lock();  // held until the process ends: one report at a time
  progressEraseForReport();
  std::uint64_t stack[max_stack_entries];
  const std::size_t n = walkFrames(frame, 0, stack);
  {
    Writer out;
    out.put("thread ").dec(static_cast<std::uint64_t>(::gettid())).put(" panic: ");
    out.put(message).put("\n");
    if (trace != nullptr && trace->index > 0) printErrorTrace(out, *trace);
    printStackTrace(out, std::span<const std::uint64_t>(stack, n));
  }
  abortNow();
}

const char* faultMessage(int signo) noexcept {
  switch (signo) {
    case SIGSEGV:
      return "Segmentation fault at address 0x";
    case SIGILL:
      return "Illegal instruction at address 0x";
    case SIGBUS:
      return "Bus error at address 0x";
    case SIGFPE:
      return "Arithmetic exception at address 0x";
  }
  return "Unknown signal at address 0x";
}

// The frame pointer's column in x86-64 call-frame information.
constexpr int rbp_column = 6;

// One step of call-frame unwinding, out of the faulting function and into its caller. The
// frame-pointer walk alone cannot take this step when the fault hit a function that keeps no
// frame of its own (a leaf, or a C library routine such as memcpy): the caller would be missing.
struct FaultStep {
  std::uintptr_t pc = 0;
  int frames_before = 0;
  bool at_fault = false;
  std::uintptr_t caller_ip = 0;
  std::uintptr_t caller_fp = 0;
  std::uintptr_t fault_cfa = 0;  // the top of the faulting function's call frame
};

_Unwind_Reason_Code stepOutOfFault(_Unwind_Context* context, void* data) {
  auto* step = static_cast<FaultStep*>(data);
  int before_insn = 0;
  const auto ip = static_cast<std::uintptr_t>(_Unwind_GetIPInfo(context, &before_insn));
  if (step->at_fault) {
    step->caller_ip = ip;
    // The register as the caller left it: restored from where the faulting function saved it,
    // or unchanged from the signal context when it saved nothing.
    step->caller_fp = static_cast<std::uintptr_t>(_Unwind_GetGR(context, rbp_column));
    step->fault_cfa = static_cast<std::uintptr_t>(_Unwind_GetCFA(context));
    return _URC_END_OF_STACK;
  }
  // Only a signal frame reports its address as the instruction itself.
  if (before_insn != 0 && ip == step->pc) {
    step->at_fault = true;
  } else if (++step->frames_before > 8) {
    return _URC_END_OF_STACK;  // the handler's own frames are few: this is not the way
  }
  return _URC_NO_REASON;
}

// The stack of a faulting thread: the faulting instruction, then return addresses.
std::size_t captureFaultStack(int signo, const siginfo_t& info, const ucontext_t& context,
                              std::span<std::uint64_t> out, bool& first_is_exact) noexcept {
  const auto& regs = context.uc_mcontext.gregs;
  const auto pc = static_cast<std::uintptr_t>(regs[REG_RIP]);
  const auto fp = static_cast<std::uintptr_t>(regs[REG_RBP]);
  const auto sp = static_cast<std::uintptr_t>(regs[REG_RSP]);
  const std::uintptr_t high = stackEnd();
  std::size_t n = 0;
  first_is_exact = pc != 0;
  if (pc != 0) out[n++] = pc;

  // A jump or call to where no code is (a null function pointer): the unwinder would read the
  // instructions at that address, but the caller's return address is on top of the stack. Only
  // a segmentation fault at the instruction's own address says so; the other signals always
  // report that address.
  const bool fetch_fault =
      pc == 0 || (signo == SIGSEGV && reinterpret_cast<std::uintptr_t>(info.si_addr) == pc);
  if (fetch_fault) {
    if (sp % alignof(std::uintptr_t) == 0 && sp + sizeof(std::uintptr_t) <= high) {
      out[n++] = *reinterpret_cast<const std::uintptr_t*>(sp);  // NOLINT(performance-no-int-to-ptr)
    }
    return n + walkFrames(fp, 0, out.subspan(n));
  }

  FaultStep step;
  step.pc = pc;
  _Unwind_Backtrace(stepOutOfFault, &step);
  // Only trust the step when it read this thread's stack, above the fault.
  if (step.caller_ip != 0 && step.fault_cfa > sp && step.fault_cfa <= high) {
    out[n++] = step.caller_ip;
    return n + walkFrames(step.caller_fp, 0, out.subspan(n));
  }
  return n + walkFrames(fp, 0, out.subspan(n));
}

void faultHandler(int signo, siginfo_t* info, void* raw_context) {
  ++panic_stage;
  if (panic_stage > 1) abortNow();
  stop_mutex.lock();
  progressEraseForReport();
  const auto* context = static_cast<const ucontext_t*>(raw_context);

  std::uint64_t stack[max_stack_entries];
  bool first_is_exact = false;
  const std::size_t n = captureFaultStack(signo, *info, *context, stack, first_is_exact);
  {
    Writer out;
    if (signo == SIGSEGV && info->si_code == SI_KERNEL) {
      out.put("General protection exception (no address available)\n");
    } else {
      out.put(faultMessage(signo)).hex(reinterpret_cast<std::uintptr_t>(info->si_addr)).put("\n");
    }
    printStackTrace(out, std::span<const std::uint64_t>(stack, n), first_is_exact);
  }
  abortNow();
}

}  // namespace

void installStopHandlers() noexcept {
  setPanicHandler(stopReport);

  stack_t alt{};
  alt.ss_sp =
      ::mmap(nullptr, alt_stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  alt.ss_size = alt_stack_size;
  if (alt.ss_sp != MAP_FAILED) ::sigaltstack(&alt, nullptr);

  struct sigaction act {};
  act.sa_sigaction = faultHandler;
  act.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&act.sa_mask);
  for (int signo : {SIGSEGV, SIGILL, SIGBUS, SIGFPE})
    ::sigaction(signo, &act, nullptr);
  (void)stackEnd();  // learn the main thread's stack bounds before anything can go wrong
}

[[gnu::noinline]] std::size_t captureStackTrace(std::uintptr_t first_address,
                                                std::span<std::uint64_t> out) noexcept {
  return walkFrames(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)), first_address,
                    out);
}

}  // namespace vesk
