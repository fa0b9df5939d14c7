// The checking allocator's entry points for ordinary C++ allocation: the replaced global
// operator new and delete (ordinary_new.cpp) ask here whether the calling thread's allocation is
// checked and hand checked blocks in and out; the case runner opens the window in which it is.
// Not for code under test, which uses the guards of <vesk/checking_allocator.hpp>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

/// While one lives, ordinary new on every thread goes through the checking allocator, except on
/// threads inside an `OrdinaryNewUnchecked` scope; the case runner opens one around each case.
class CaseNewChecks {
 public:
  CaseNewChecks() noexcept;
  ~CaseNewChecks();
  CaseNewChecks(const CaseNewChecks&) = delete;
  CaseNewChecks& operator=(const CaseNewChecks&) = delete;
};

/// Whether an ordinary allocation made now on this thread goes through the checking allocator.
bool ordinaryNewChecked() noexcept;

/// Where an operator was called: its return address, and its own frame, whose chain of frame
/// pointers the allocator's records are read from without walking through the allocator's frames.
struct OperatorCall {
  std::uintptr_t ret_addr;
  std::uintptr_t frame;
};

/// A block for ordinary new from the checking allocator, or null when it has no memory.
void* checkedNew(std::size_t len, std::uint8_t log2_align, OperatorCall call) noexcept;

/// What `ordinaryDelete` did with a pointer.
enum class DeleteOutcome : std::uint8_t { done, not_held };

/// Frees `block` if the checking allocator holds it (this case's or an earlier case's), checking
/// the length when `sized`; `not_held` leaves it to the C library. A pointer that no allocator can
/// have handed out (into the executable's static data or the calling thread's stack) stops with
/// "Invalid free".
DeleteOutcome ordinaryDelete(void* block, std::size_t len, bool sized, std::uint8_t log2_align,
                             OperatorCall call) noexcept;

}  // namespace vesk
