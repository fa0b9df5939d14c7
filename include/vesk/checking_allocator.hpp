// The harness's leak-checking allocator: one process-wide instance that every case allocates
// through, made fresh before each case and released after it, reporting each allocation still
// live ("memory address 0x{x} leaked") and each misuse (size or alignment mismatch, double free,
// invalid free) through the log facility with the scope "gpa". While a case runs, ordinary C++
// allocation (the global operator new and delete) goes through it too; the guards here opt out.
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

/// While one lives, ordinary new on the thread that made it goes to the C library unchecked, as
/// outside cases; blocks freed meanwhile still go back to whichever allocator handed them out.
/// Scopes nest.
class OrdinaryNewUnchecked {
 public:
  OrdinaryNewUnchecked() noexcept;
  ~OrdinaryNewUnchecked();
  OrdinaryNewUnchecked(const OrdinaryNewUnchecked&) = delete;
  OrdinaryNewUnchecked& operator=(const OrdinaryNewUnchecked&) = delete;
};

/// Sends ordinary new on every thread to the C library for the rest of the running case; the
/// next case is checked again.
void uncheckOrdinaryNewInThisCase() noexcept;

}  // namespace vesk
