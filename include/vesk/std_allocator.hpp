// Standard-library containers on vesk allocators: `StdAllocator<T>` adapts any `vesk::Allocator`
// to the standard allocator requirements, so that `std::vector`, `std::basic_string`, the node
// containers and `std::allocate_shared` allocate through it. On the case's checking allocator
// (the default) they get its leak, double-free and size reports with allocation sites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <type_traits>

#include <vesk/allocator.hpp>
#include <vesk/checking_allocator.hpp>

namespace vesk {

/// A standard allocator over a `vesk::Allocator`: a small handle, copied freely, rebound by the
/// containers to their node types. Two compare equal when they use the same underlying allocator,
/// and the allocator travels with the memory on assignment and swap. Running out of memory throws
/// `std::bad_alloc`, as the containers require; an exception that leaves a case fails it with
/// "UncaughtException".
template <class T>
class StdAllocator {
 public:
  using value_type = T;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  /// Allocates through the checking allocator of the running case, taken at construction. A
  /// container made with it belongs to that case: one that outlives it (a static or global
  /// container, one kept for a later case) frees into the next case's instance, which stops the
  /// process with "Invalid free".
  StdAllocator() noexcept : allocator_(testingAllocator()) {}
  /// Allocates through `allocator`, for example `vesk::mallocAllocator()`.
  StdAllocator(Allocator allocator) noexcept : allocator_(allocator) {}  // NOLINT: a conversion
  template <class U>
  StdAllocator(const StdAllocator<U>& other) noexcept : allocator_(other.underlying()) {}

  /// Room for `n` objects, not constructed; throws `std::bad_alloc` when there is no memory.
  /// The checking allocator's records start at the caller of this function (inside the
  /// container), whose own callers follow: the line that used the container among them.
  [[nodiscard, gnu::noinline]] T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    void* p =
        allocator_.vtable->alloc(allocator_.ptr, n * sizeof(T), Allocator::log2Align<T>(),
                                 reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }

  /// Gives back `p`, which `allocate(n)` returned.
  [[gnu::noinline]] void deallocate(T* p, std::size_t n) noexcept {
    allocator_.vtable->free(
        allocator_.ptr, std::span<std::byte>(reinterpret_cast<std::byte*>(p), n * sizeof(T)),
        Allocator::log2Align<T>(), reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  }

  /// The allocator this one allocates through.
  Allocator underlying() const noexcept { return allocator_; }

  template <class U>
  bool operator==(const StdAllocator<U>& other) const noexcept {
    const Allocator theirs = other.underlying();
    return allocator_.ptr == theirs.ptr && allocator_.vtable == theirs.vtable;
  }

 private:
  Allocator allocator_;
};

}  // namespace vesk
