// The allocator interface through which the entity-component layer and the harness obtain memory:
// a small value pairing an allocator's state with its three operations, typed helpers that never
// spell alignments, and an allocator backed by the C library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>

#include <vesk/error.hpp>

namespace vesk {

/// Whether values of T may live in raw storage from an allocator and be moved to another block
/// bit for bit, the old bits then forgotten without running a destructor: every trivially
/// copyable type, and types that declare `static constexpr bool trivially_relocatable = true`
/// because they hold memory only through pointers to it, never pointers into themselves.
template <class T>
inline constexpr bool trivially_relocatable = std::is_trivially_copyable_v<T> || requires {
  requires T::trivially_relocatable;
};

/// The three operations behind an `Allocator`. Alignments are base-2 logarithms; `ret_addr` is the
/// return address of the caller that asked, used by checking allocators for their records.
struct AllocatorVTable {
  /// A block of `len` bytes aligned to 2^`log2_ptr_align`, or null when no memory is available.
  void* (*alloc)(void* ctx, std::size_t len, std::uint8_t log2_ptr_align, std::uintptr_t ret_addr);
  /// Whether `old_mem` could be grown or shrunk to `new_size` bytes without moving it.
  bool (*resize)(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                 std::size_t new_size, std::uintptr_t ret_addr);
  /// Returns `old_mem` (exactly as it was allocated or last resized) to the allocator.
  void (*free)(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
               std::uintptr_t ret_addr);
};

/// An allocator: its state plus its operations. A small value passed by value; it owns nothing.
struct Allocator {
  void* ptr = nullptr;
  const AllocatorVTable* vtable = nullptr;

  /// Room for `n` objects of T, or "OutOfMemory". The objects are not constructed.
  template <class T>
  [[nodiscard, gnu::noinline]] Result<std::span<T>> allocate(std::size_t n) const noexcept {
    static_assert(trivially_relocatable<T>, "allocators hand out raw storage for records");
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
      return VESK_FAIL(Error::OutOfMemory);
    void* p = vtable->alloc(ptr, n * sizeof(T), log2Align<T>(),
                            reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    if (p == nullptr) return VESK_FAIL(Error::OutOfMemory);
    return std::span<T>(static_cast<T*>(p), n);
  }

  /// Tries to change the length of `block` to `n` objects in place; false leaves it as it was.
  template <class T>
  [[nodiscard, gnu::noinline]] bool resizeInPlace(std::span<T> block,
                                                  std::size_t n) const noexcept {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) return false;
    return vtable->resize(ptr, std::as_writable_bytes(block), log2Align<T>(), n * sizeof(T),
                          reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  }

  /// Returns `block`, as obtained from `allocate` (or last resized), to the allocator.
  template <class T>
  [[gnu::noinline]] void release(std::span<T> block) const noexcept {
    if (block.data() == nullptr) return;
    vtable->free(ptr, std::as_writable_bytes(block), log2Align<T>(),
                 reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  }

  template <class T>
  static constexpr std::uint8_t log2Align() noexcept {
    return static_cast<std::uint8_t>(std::countr_zero(alignof(T)));
  }
};

/// An allocator backed by the C library's aligned allocation; never checks anything.
Allocator mallocAllocator() noexcept;

}  // namespace vesk
