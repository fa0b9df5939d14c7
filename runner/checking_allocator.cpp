// Placeholder until the checking allocator lands: plain allocation, no checks.
#include "checking_allocator.hpp"

namespace vesk {

Allocator testingAllocator() noexcept {
  return mallocAllocator();
}
void checkingAllocatorInit() noexcept {}
Check checkingAllocatorDeinit() noexcept {
  return Check::ok;
}

}  // namespace vesk
