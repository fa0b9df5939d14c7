#include "stack_trace.hpp"

#include <pthread.h>
#include <unistd.h>
#include <unwind.h>

// Where the main thread's stack begins, set by the C library under its own reserved name.
extern "C" void* __libc_stack_end;  // NOLINT(bugprone-reserved-identifier)

namespace vesk {

namespace {

// Walks the frame-pointer chain from `fp`. Every frame read lies between `low` (at most the lowest
// frame) and the stack's end, and frames must move strictly upwards, so a broken chain ends the
// walk instead of reading unmapped memory.
std::size_t walkFrom(std::uintptr_t fp, std::uintptr_t low, std::uintptr_t first_address,
                     std::span<std::uint64_t> out) noexcept {
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

// The frame pointer's column in x86-64 call-frame information.
constexpr int RBP_COLUMN = 6;

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
    step->caller_fp = static_cast<std::uintptr_t>(_Unwind_GetGR(context, RBP_COLUMN));
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

}  // namespace

// Asking the C library (pthread_getattr_np) would allocate and take the thread's lock, which a
// report cannot afford: the main thread's end is where the C library started it, and a thread the
// C library created keeps its control block, with its static thread-local storage just below, at
// the top of its stack block, above every frame.
std::uintptr_t stackEnd() noexcept {
  thread_local std::uintptr_t end = 0;
  if (end != 0) return end;
  if (::gettid() == ::getpid()) {
    end = reinterpret_cast<std::uintptr_t>(__libc_stack_end);
  } else {
    end = reinterpret_cast<std::uintptr_t>(::pthread_self());
  }
  return end;
}

[[gnu::noinline]] std::size_t captureStackTrace(std::uintptr_t first_address,
                                                std::span<std::uint64_t> out) noexcept {
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return walkFrom(frame, frame, first_address, out);
}

std::size_t walkFrames(std::uintptr_t fp, std::uintptr_t low,
                       std::span<std::uint64_t> out) noexcept {
  return walkFrom(fp, low, 0, out);
}

// Then the unwinder would read the instructions at the faulting address, but the caller's return
// address is on top of the stack. Only a segmentation fault at the instruction's own address says
// so; the other signals always report that address.
FaultPlace faultPlace(int signo, const siginfo_t& info, const ucontext_t& context) noexcept {
  const auto& regs = context.uc_mcontext.gregs;
  FaultPlace place{static_cast<std::uintptr_t>(regs[REG_RIP]),
                   static_cast<std::uintptr_t>(regs[REG_RBP]),
                   static_cast<std::uintptr_t>(regs[REG_RSP]), false};
  place.fetch_fault = place.pc == 0 || (signo == SIGSEGV &&
                                        reinterpret_cast<std::uintptr_t>(info.si_addr) == place.pc);
  return place;
}

void walkFaultStack(const FaultPlace& place, CapturedStack& into) noexcept {
  std::size_t n = 0;
  into.first_is_exact = place.pc != 0;
  if (place.pc != 0) into.addresses[n++] = place.pc;
  if (place.fetch_fault && place.sp % alignof(std::uintptr_t) == 0 &&
      place.sp + sizeof(std::uintptr_t) <= stackEnd()) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    into.addresses[n++] = *reinterpret_cast<const std::uintptr_t*>(place.sp);
  }
  into.count = n + walkFrames(place.fp, place.sp, std::span(into.addresses).subspan(n));
}

bool unwindFaultStack(const FaultPlace& place, CapturedStack& into) noexcept {
  if (place.fetch_fault) return false;
  FaultStep step;
  step.pc = place.pc;
  _Unwind_Backtrace(stepOutOfFault, &step);
  // Only trust the step when it read this thread's stack, above the fault.
  if (step.caller_ip == 0 || step.fault_cfa <= place.sp || step.fault_cfa > stackEnd()) {
    return false;
  }
  into.first_is_exact = true;
  into.addresses[0] = place.pc;
  into.addresses[1] = step.caller_ip;
  into.count = 2 + walkFrames(step.caller_fp, place.sp, std::span(into.addresses).subspan(2));
  return true;
}

}  // namespace vesk
