// Capturing stacks: the bounds of the calling thread's stack, the frame-pointer walk from here, and
// the stack of a thread that a fault signal interrupted. Capture only, cheap and allocation-free,
// so the stop path may call it at any moment; naming the addresses is symbolize.hpp's business.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace vesk {

/// How many return addresses a captured stack holds at most.
inline constexpr std::size_t MAX_STACK_ENTRIES = 64;

/// A captured stack: its addresses, innermost first.
struct CapturedStack {
  std::uint64_t addresses[MAX_STACK_ENTRIES];
  std::size_t count;
  bool first_is_exact;  ///< the first address is an instruction's own, not a return address
};

/// The highest address of the calling thread's stack, learned once per thread without allocating
/// or locking; call it early on a thread so that a later report need not learn it.
std::uintptr_t stackEnd() noexcept;

/// Captures return addresses by walking frame pointers from the caller of this function. Recording
/// starts at the frame whose return address is `first_address` (at once when it is 0); returns
/// the number of addresses written to `out`. Cheap, allocation-free and safe on a broken chain.
std::size_t captureStackTrace(std::uintptr_t first_address, std::span<std::uint64_t> out) noexcept;

/// Walks the frame-pointer chain from `fp`, reading only frames between `low` and the calling
/// thread's stack end; returns the number of return addresses written to `out`.
std::size_t walkFrames(std::uintptr_t fp, std::uintptr_t low,
                       std::span<std::uint64_t> out) noexcept;

/// Where a faulting thread was: its instruction, frame pointer and stack pointer, and whether the
/// fault was a jump or call to where no code is (a null function pointer).
struct FaultPlace {
  std::uintptr_t pc;
  std::uintptr_t fp;
  std::uintptr_t sp;
  bool fetch_fault;
};

/// The place of the fault `signo` described by a signal handler's `info` and `context`.
FaultPlace faultPlace(int signo, const siginfo_t& info, const ucontext_t& context) noexcept;

/// The faulting thread's stack by frame pointers alone: bounded and free of locks, so it may be
/// taken before anything that could wait.
void walkFaultStack(const FaultPlace& place, CapturedStack& into) noexcept;

/// The same stack with the caller of the faulting function found by the unwinder, which the walk
/// misses when that function keeps no frame. The unwinder takes the dynamic linker's lock, so
/// call it only once nothing essential is left to write. False when it has nothing better.
bool unwindFaultStack(const FaultPlace& place, CapturedStack& into) noexcept;

}  // namespace vesk
