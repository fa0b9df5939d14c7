#include <vesk/allocator.hpp>

#include <cstdlib>

namespace vesk {

namespace {

void* mallocAlloc(void*, std::size_t len, std::uint8_t log2_align, std::uintptr_t) {
  std::size_t align = std::size_t{1} << log2_align;
  if (align < alignof(void*)) align = alignof(void*);
  void* p = nullptr;
  if (::posix_memalign(&p, align, len == 0 ? 1 : len) != 0) return nullptr;
  return p;
}

bool mallocResize(void*, std::span<std::byte> old_mem, std::uint8_t, std::size_t new_size,
                  std::uintptr_t) {
  return new_size <= old_mem.size();
}

void mallocFree(void*, std::span<std::byte> old_mem, std::uint8_t, std::uintptr_t) {
  std::free(old_mem.data());
}

constexpr AllocatorVTable MALLOC_VTABLE{mallocAlloc, mallocResize, mallocFree};

}  // namespace

Allocator mallocAllocator() noexcept {
  return Allocator{nullptr, &MALLOC_VTABLE};
}

}  // namespace vesk
