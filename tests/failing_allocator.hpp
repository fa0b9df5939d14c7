// An allocator for tests that wraps another one, counts what passes through it and makes chosen
// allocations fail, so that out-of-memory paths can be driven one by one. Typical use:
//   vesk::FailingAllocator failing(vesk::testingAllocator(), {.fail_index = 2});
//   auto result = thing.init(failing.allocator());  // the third allocation returns null
//   EXPECT_EQ(failing.liveAllocations(), 0u);
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include <vesk/vesk_base.hpp>

namespace vesk {

/// When a `FailingAllocator` refuses memory.
struct FailurePlan {
  /// Never fail: the wrapper only counts.
  static constexpr std::size_t NEVER = std::numeric_limits<std::size_t>::max();

  /// Zero-based number of the first `alloc` call that fails: 0 fails the very first one.
  std::size_t fail_index = NEVER;
  /// True: only that one call fails and later ones succeed again; false: it and every later one.
  bool fail_once = false;
  /// True: growing in place is always refused, which forces callers onto their
  /// allocate-copy-free path. While failing (see `failingNow`), growth is refused anyway.
  bool refuse_growth_in_place = false;
};

/// Wraps `backing`, failing allocations by a `FailurePlan` and counting calls and live blocks.
/// The `Allocator` it hands out points at this object, so it cannot be copied or moved; keep it
/// alive while anything allocated through it is.
class FailingAllocator {
 public:
  /// A wrapper around `backing` that fails by `plan`.
  explicit FailingAllocator(Allocator backing, FailurePlan plan = {}) noexcept
      : backing_(backing), plan_(plan) {}
  FailingAllocator(const FailingAllocator&) = delete;
  FailingAllocator& operator=(const FailingAllocator&) = delete;

  /// The allocator to hand to the code under test.
  Allocator allocator() noexcept { return Allocator{this, &VTABLE}; }

  /// Every `alloc` call so far, failed ones included.
  std::size_t allocCalls() const noexcept { return alloc_calls_; }
  /// The `alloc` calls this wrapper refused.
  std::size_t failedAllocs() const noexcept { return failed_allocs_; }
  /// The `free` calls so far.
  std::size_t frees() const noexcept { return frees_; }
  /// Blocks handed out and not yet freed: zero once the code under test has released everything.
  std::size_t liveAllocations() const noexcept { return alloc_calls_ - failed_allocs_ - frees_; }
  /// Bytes in those blocks, by the lengths last given to `alloc`, `resize` and `free`.
  std::size_t liveBytes() const noexcept { return live_bytes_; }
  /// Whether the next `alloc` call would be refused.
  bool failingNow() const noexcept { return refuses(alloc_calls_); }

  /// Replaces the plan; counting goes on from where it is, so `fail_index` counts all calls.
  void setPlan(FailurePlan plan) noexcept { plan_ = plan; }

 private:
  bool refuses(std::size_t call) const noexcept {
    if (plan_.fail_index == FailurePlan::NEVER) return false;
    return plan_.fail_once ? call == plan_.fail_index : call >= plan_.fail_index;
  }

  static void* alloc(void* ctx, std::size_t len, std::uint8_t log2_align,
                     std::uintptr_t ret_addr) noexcept {
    auto& self = *static_cast<FailingAllocator*>(ctx);
    const bool refuse = self.refuses(self.alloc_calls_);
    ++self.alloc_calls_;
    if (refuse) {
      ++self.failed_allocs_;
      return nullptr;
    }
    void* p = self.backing_.vtable->alloc(self.backing_.ptr, len, log2_align, ret_addr);
    // The backing allocator may run out too; such a call counts as failed as well.
    if (p == nullptr) {
      ++self.failed_allocs_;
      return nullptr;
    }
    self.live_bytes_ += len;
    return p;
  }

  static bool resize(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                     std::size_t new_size, std::uintptr_t ret_addr) noexcept {
    auto& self = *static_cast<FailingAllocator*>(ctx);
    const bool grows = new_size > old_mem.size();
    if (grows && (self.plan_.refuse_growth_in_place || self.failingNow())) return false;
    if (!self.backing_.vtable->resize(self.backing_.ptr, old_mem, log2_old_align, new_size,
                                      ret_addr)) {
      return false;
    }
    self.live_bytes_ = self.live_bytes_ - old_mem.size() + new_size;
    return true;
  }

  static void free(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                   std::uintptr_t ret_addr) noexcept {
    auto& self = *static_cast<FailingAllocator*>(ctx);
    ++self.frees_;
    self.live_bytes_ -= old_mem.size();
    self.backing_.vtable->free(self.backing_.ptr, old_mem, log2_old_align, ret_addr);
  }

  static constexpr AllocatorVTable VTABLE{alloc, resize, free};

  Allocator backing_;
  FailurePlan plan_;
  std::size_t alloc_calls_ = 0;
  std::size_t failed_allocs_ = 0;
  std::size_t frees_ = 0;
  std::size_t live_bytes_ = 0;
};

}  // namespace vesk
