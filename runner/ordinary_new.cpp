// The global operator new and delete of an executable linked with the harness: while a case runs
// they go through the checking allocator, at all other times (and in unchecked scopes) to the C
// library; a delete goes to whichever of the two handed the block out. Left out under
// AddressSanitizer, whose own operators check the same things.
#include <cstdlib>
#include <new>

#include "checking_new.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_UNDER_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VESK_UNDER_ADDRESS_SANITIZER 1
#endif

#ifndef VESK_UNDER_ADDRESS_SANITIZER

namespace {

constexpr std::size_t DEFAULT_ALIGN = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

std::uint8_t log2Of(std::size_t align) noexcept {
  return static_cast<std::uint8_t>(__builtin_ctzll(align));
}

// The C library's block, as the standard operators hand it out: a zero-length request gets a
// block of its own, and a refusal asks the installed new handler before giving up.
void* fromCLibrary(std::size_t len, std::size_t align, bool nothrow) {
  if (len == 0) len = 1;
  for (;;) {
    void* block = nullptr;
    if (align <= DEFAULT_ALIGN) {
      block = std::malloc(len);
    } else if (::posix_memalign(&block, align, len) != 0) {
      block = nullptr;
    }
    if (block != nullptr) return block;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) {
      if (nothrow) return nullptr;
      throw std::bad_alloc();
    }
    if (nothrow) {
      try {
        handler();
      } catch (...) {
        return nullptr;
      }
    } else {
      handler();
    }
  }
}

[[gnu::always_inline]] inline void* allocate(std::size_t len, std::size_t align, bool nothrow,
                                             vesk::OperatorCall call) {
  if (!vesk::ordinaryNewChecked()) return fromCLibrary(len, align, nothrow);
  void* block = vesk::checkedNew(len, log2Of(align), call);
  if (block == nullptr && !nothrow) throw std::bad_alloc();
  return block;
}

[[gnu::always_inline]] inline void release(void* block, std::size_t len, bool sized,
                                           std::size_t align, vesk::OperatorCall call) noexcept {
  if (vesk::ordinaryDelete(block, len, sized, log2Of(align), call) ==
      vesk::DeleteOutcome::not_held) {
    std::free(block);
  }
}

vesk::OperatorCall caller(void* ret_addr, void* frame) noexcept {
  return {reinterpret_cast<std::uintptr_t>(ret_addr), reinterpret_cast<std::uintptr_t>(frame)};
}

}  // namespace

// Each operator takes its own return address and frame: the checking allocator's records start
// at the line that said new or delete.
#define VESK_CALLER caller(__builtin_return_address(0), __builtin_frame_address(0))

void* operator new(std::size_t len) {
  return allocate(len, DEFAULT_ALIGN, false, VESK_CALLER);
}
void* operator new[](std::size_t len) {
  return allocate(len, DEFAULT_ALIGN, false, VESK_CALLER);
}
void* operator new(std::size_t len, const std::nothrow_t&) noexcept {
  return allocate(len, DEFAULT_ALIGN, true, VESK_CALLER);
}
void* operator new[](std::size_t len, const std::nothrow_t&) noexcept {
  return allocate(len, DEFAULT_ALIGN, true, VESK_CALLER);
}
void* operator new(std::size_t len, std::align_val_t align) {
  return allocate(len, static_cast<std::size_t>(align), false, VESK_CALLER);
}
void* operator new[](std::size_t len, std::align_val_t align) {
  return allocate(len, static_cast<std::size_t>(align), false, VESK_CALLER);
}
void* operator new(std::size_t len, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate(len, static_cast<std::size_t>(align), true, VESK_CALLER);
}
void* operator new[](std::size_t len, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate(len, static_cast<std::size_t>(align), true, VESK_CALLER);
}

void operator delete(void* block) noexcept {
  release(block, 0, false, DEFAULT_ALIGN, VESK_CALLER);
}
void operator delete[](void* block) noexcept {
  release(block, 0, false, DEFAULT_ALIGN, VESK_CALLER);
}
void operator delete(void* block, std::size_t len) noexcept {
  release(block, len, true, DEFAULT_ALIGN, VESK_CALLER);
}
void operator delete[](void* block, std::size_t len) noexcept {
  release(block, len, true, DEFAULT_ALIGN, VESK_CALLER);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  release(block, 0, false, DEFAULT_ALIGN, VESK_CALLER);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  release(block, 0, false, DEFAULT_ALIGN, VESK_CALLER);
}
void operator delete(void* block, std::align_val_t align) noexcept {
  release(block, 0, false, static_cast<std::size_t>(align), VESK_CALLER);
}
void operator delete[](void* block, std::align_val_t align) noexcept {
  release(block, 0, false, static_cast<std::size_t>(align), VESK_CALLER);
}
void operator delete(void* block, std::size_t len, std::align_val_t align) noexcept {
  release(block, len, true, static_cast<std::size_t>(align), VESK_CALLER);
}
void operator delete[](void* block, std::size_t len, std::align_val_t align) noexcept {
  release(block, len, true, static_cast<std::size_t>(align), VESK_CALLER);
}
void operator delete(void* block, std::align_val_t align, const std::nothrow_t&) noexcept {
  release(block, 0, false, static_cast<std::size_t>(align), VESK_CALLER);
}
void operator delete[](void* block, std::align_val_t align, const std::nothrow_t&) noexcept {
  release(block, 0, false, static_cast<std::size_t>(align), VESK_CALLER);
}

#endif
