// The growable array: a contiguous, resizable array of records that keeps the allocator it was
// created with and reports a failed growth as "OutOfMemory", leaving itself unchanged.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include <vesk/allocator.hpp>
#include <vesk/error.hpp>
#include <vesk/panic.hpp>

namespace vesk {

/// A contiguous, resizable array that keeps the allocator it was created with and owns its block:
/// move-only (a moved-from array is empty, on the same allocator); the destructor or an earlier
/// `deinit` destroys the elements and frees the block. Creating one allocates nothing; an append
/// that cannot obtain memory returns "OutOfMemory" and changes nothing; growth moves elements bit
/// for bit (`trivially_relocatable`), so references to them last only until the next append.
template <class T>
class ArrayList {
  static_assert(trivially_relocatable<T>, "growth moves elements bit for bit");

 public:
  /// Growth may move an array of arrays bit for bit: it points at its block, never into itself.
  static constexpr bool trivially_relocatable = true;

  /// An empty array bound to `allocator`; allocates nothing.
  static ArrayList init(Allocator allocator) noexcept { return ArrayList(allocator); }

  ArrayList(ArrayList&& other) noexcept
      : allocator_(other.allocator_),
        block_(std::exchange(other.block_, {})),
        len_(std::exchange(other.len_, 0)) {}
  ArrayList& operator=(ArrayList&& other) noexcept {
    if (this != &other) {
      deinit();
      allocator_ = other.allocator_;
      block_ = std::exchange(other.block_, {});
      len_ = std::exchange(other.len_, 0);
    }
    return *this;
  }
  ArrayList(const ArrayList&) = delete;
  ArrayList& operator=(const ArrayList&) = delete;
  ~ArrayList() { deinit(); }

  /// Destroys the elements and frees the block; the array is empty afterwards and may be used
  /// again.
  void deinit() noexcept {
    std::destroy(begin(), end());
    allocator_.release(block_);
    block_ = {};
    len_ = 0;
  }

  /// Appends `value`, growing the block when it is full. On "OutOfMemory" the array is unchanged
  /// and `value` is destroyed with the argument, releasing whatever it owned.
  [[nodiscard]] Result<void> append(T value) noexcept {
    if (len_ == block_.size()) VESK_TRY(grow(len_ + 1));
    std::construct_at(block_.data() + len_, std::move(value));
    ++len_;
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
  explicit ArrayList(Allocator allocator) noexcept : allocator_(allocator) {}

  // Grows geometrically (at least to `minimum`): first in place, then by moving to a new block.
  Result<void> grow(std::size_t minimum) noexcept {
    std::size_t target = block_.size() < 8 ? 8 : block_.size() + block_.size() / 2;
    if (target < minimum) target = minimum;
    if (block_.data() != nullptr && allocator_.resizeInPlace(block_, target)) {
      block_ = std::span<T>(block_.data(), target);
      return {};
    }
    std::span<T> fresh = VESK_TRY(allocator_.template allocate<T>(target));
    // Relocation: the elements' bits move, and the old block is freed without destroying them.
    if (len_ != 0)
      std::memcpy(static_cast<void*>(fresh.data()), static_cast<const void*>(block_.data()),
                  len_ * sizeof(T));
    allocator_.release(block_);
    block_ = fresh;
    return {};
  }

  Allocator allocator_;
  std::span<T> block_;
  std::size_t len_ = 0;
};

}  // namespace vesk
