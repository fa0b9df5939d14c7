// The growable array: a contiguous, resizable array of records that keeps the allocator it was
// created with and reports a failed growth as "OutOfMemory", leaving itself unchanged.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include <vesk/allocator.hpp>
#include <vesk/error.hpp>
#include <vesk/panic.hpp>

namespace vesk {

/// A contiguous, resizable array of trivially copyable records that keeps the allocator it was
/// created with. Creating one allocates nothing; an append that cannot obtain memory returns
/// "OutOfMemory" and leaves the array as it was; growth may move every element, so references to
/// elements stay valid only until the next append. The array is itself a plain record (so that
/// records holding one can be stored in another): exactly one copy owns the block and releases it
/// with `deinit`; the owning types built on it are move-only and release it for their callers.
template <class T>
class ArrayList {
  static_assert(std::is_trivially_copyable_v<T>, "ArrayList holds trivially copyable records");

 public:
  /// An empty array bound to `allocator`; allocates nothing.
  static ArrayList init(Allocator allocator) noexcept {
    ArrayList list;
    list.allocator_ = allocator;
    return list;
  }

  /// Frees the whole block; the array is empty afterwards and may be used again.
  void deinit() noexcept {
    allocator_.release(block_);
    block_ = {};
    len_ = 0;
  }

  /// Hands over the block and its elements, leaving this array empty and bound to the same
  /// allocator: how the types that own arrays move.
  ArrayList take() noexcept { return std::exchange(*this, init(allocator_)); }

  /// Appends `value`, growing the block when it is full.
  [[nodiscard]] Result<void> append(T value) noexcept {
    if (len_ == block_.size()) VESK_TRY(grow(len_ + 1));
    block_[len_++] = value;
    return {};
  }

  /// Makes room for at least `capacity` elements in total.
  [[nodiscard]] Result<void> ensureTotalCapacity(std::size_t capacity) noexcept {
    if (capacity <= block_.size()) return {};
    VESK_TRY(grow(capacity));
    return {};
  }

  std::span<T> items() noexcept { return block_.first(len_); }
  std::span<const T> items() const noexcept { return std::span<const T>(block_.data(), len_); }
  std::size_t size() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return block_.size(); }
  bool empty() const noexcept { return len_ == 0; }
  Allocator allocator() const noexcept { return allocator_; }
  T& operator[](std::size_t i) noexcept {
    checkIndex(i, len_);
    return block_[i];
  }
  const T& operator[](std::size_t i) const noexcept {
    checkIndex(i, len_);
    return block_[i];
  }
  T* begin() noexcept { return block_.data(); }
  T* end() noexcept { return block_.data() + len_; }
  const T* begin() const noexcept { return block_.data(); }
  const T* end() const noexcept { return block_.data() + len_; }

 private:
  // Grows geometrically (at least to `minimum`): first in place, then by moving to a new block.
  Result<void> grow(std::size_t minimum) noexcept {
    std::size_t target = block_.size() < 8 ? 8 : block_.size() + block_.size() / 2;
    if (target < minimum) target = minimum;
    if (block_.data() != nullptr && allocator_.resizeInPlace(block_, target)) {
      block_ = std::span<T>(block_.data(), target);
      return {};
    }
    std::span<T> fresh = VESK_TRY(allocator_.template allocate<T>(target));
    if (len_ != 0) std::memcpy(fresh.data(), block_.data(), len_ * sizeof(T));
    allocator_.release(block_);
    block_ = fresh;
    return {};
  }

  Allocator allocator_;
  std::span<T> block_;
  std::size_t len_ = 0;
};

}  // namespace vesk
