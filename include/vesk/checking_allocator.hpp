// The harness's leak-checking allocator: one process-wide instance that every case allocates
// through, made fresh before each case and released after it, reporting each allocation still
// live ("memory address 0x{x} leaked") and each misuse (size or alignment mismatch, double free,
// invalid free) through the log facility with the scope "gpa".
#pragma once

#include <cstdint>

#include <vesk/allocator.hpp>

namespace vesk {

/// What releasing an instance found.
enum class Check : std::uint8_t { ok = 0, leak = 1 };

/// The process-wide checking allocator, as an `Allocator` cases pass to library operations.
Allocator testingAllocator() noexcept;

/// Gives the process-wide checking allocator a fresh, empty instance; one that was never
/// released is dropped without a report.
void checkingAllocatorInit() noexcept;

/// Releases the current instance: logs every live allocation and returns `leak` if there was one.
/// Leaked blocks stay mapped; the next instance does not hold them.
Check checkingAllocatorDeinit() noexcept;

}  // namespace vesk
