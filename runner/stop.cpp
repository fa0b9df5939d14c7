#include "stop.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "log.hpp"
#include "symbolize.hpp"
#include "vesk_base.hpp"

extern "C" void* __libc_stack_end;  // where the main thread's stack begins, set by the C library

namespace vesk {

namespace {

constexpr std::size_t max_stack_entries = 64;
// Large enough to symbolise on: the fault report reads debug information on this stack.
constexpr std::size_t alt_stack_size = 512 * 1024;

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
  ::raise(SIGABRT);
  ::_exit(127);
}

[[noreturn]] void stopReport(std::string_view message, const ErrorTrace* trace,
                             std::uintptr_t frame, std::uintptr_t) {
  ++panic_stage;
  if (panic_stage == 2) {
    Writer out(STDERR_FILENO);
    out.put("Panicked during a panic. Aborting.\n");
    out.flush();
    abortNow();
  }
  if (panic_stage > 2) abortNow();
  stop_mutex.lock();  // held until the process ends: one report at a time
  std::uint64_t stack[max_stack_entries];
  const std::size_t n = walkFrames(frame, 0, stack);
  {
    Writer out(STDERR_FILENO);
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

void faultHandler(int signo, siginfo_t* info, void* raw_context) {
  ++panic_stage;
  if (panic_stage > 1) abortNow();
  stop_mutex.lock();
  const auto* context = static_cast<const ucontext_t*>(raw_context);
  const auto& regs = context->uc_mcontext.gregs;
  const std::uintptr_t pc = static_cast<std::uintptr_t>(regs[REG_RIP]);
  const std::uintptr_t fp = static_cast<std::uintptr_t>(regs[REG_RBP]);
  const std::uintptr_t sp = static_cast<std::uintptr_t>(regs[REG_RSP]);

  std::uint64_t stack[max_stack_entries];
  std::size_t n = 0;
  if (pc != 0) {
    stack[n++] = pc;
  } else if (sp % alignof(std::uintptr_t) == 0 && sp + sizeof(std::uintptr_t) <= stackEnd()) {
    // A call through a null function pointer: the caller's return address is on top of the stack.
    stack[n++] = *reinterpret_cast<const std::uintptr_t*>(sp);
  }
  n += walkFrames(fp, 0, std::span<std::uint64_t>(stack + n, max_stack_entries - n));
  {
    Writer out(STDERR_FILENO);
    if (signo == SIGSEGV && info->si_code == SI_KERNEL) {
      out.put("General protection exception (no address available)\n");
    } else {
      out.put(faultMessage(signo)).hex(reinterpret_cast<std::uintptr_t>(info->si_addr)).put("\n");
    }
    printStackTrace(out, std::span<const std::uint64_t>(stack, n), pc != 0);
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

std::size_t captureStackTraceFrom(std::uintptr_t frame_pointer,
                                  std::span<std::uint64_t> out) noexcept {
  return walkFrames(frame_pointer, 0, out);
}

}  // namespace vesk
