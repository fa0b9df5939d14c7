// Process stops and fault signals: the stop report ("thread {} panic: {message}", the error-return
// trace being handled, the stack of the stopping thread, then the abort signal), the handlers of
// segmentation fault, illegal instruction, bus error and arithmetic exception, and stack capture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vesk {

/// Installs the stop report as the process's panic handler and the fault-signal handlers (on an
/// alternate signal stack, so that a stack overflow is reported too).
void installStopHandlers() noexcept;

/// Captures return addresses by walking frame pointers from the caller of this function. Recording
/// starts at the frame whose return address is `first_address` (at once when it is 0); returns
/// the number of addresses written to `out`. Cheap, allocation-free and safe on a broken chain.
std::size_t captureStackTrace(std::uintptr_t first_address, std::span<std::uint64_t> out) noexcept;

}  // namespace vesk
