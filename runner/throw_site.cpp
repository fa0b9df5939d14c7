#include "throw_site.hpp"

#include <dlfcn.h>
#include <execinfo.h>

#include <array>
#include <typeinfo>

#include <vesk/panic.hpp>

// The bounds of the executable's code, from the linker's default script.
extern "C" char __executable_start[];  // NOLINT(bugprone-reserved-identifier): the linker's name
extern "C" char etext[];

namespace vesk {

namespace {

// The sites of the last throw on this thread: written by every throw, read when a case's runner
// catches what escaped the case.
struct ThrowSites {
  std::array<std::uint64_t, 2> addresses{};
  std::size_t count = 0;
};
thread_local ThrowSites last_sites;

bool inExecutable(const void* address) noexcept {
  return address >= static_cast<const void*>(__executable_start) &&
         address < static_cast<const void*>(etext);
}

// The caller of `__cxa_throw` when it is the executable's own code (a `throw` expression);
// otherwise, for a throw inside a shared library such as the standard library's, the first two
// return addresses on the stack that are in the executable.
ThrowSites findSites(void* caller) noexcept {
  ThrowSites sites;
  if (inExecutable(caller)) {
    sites.addresses[sites.count++] = reinterpret_cast<std::uintptr_t>(caller);
    return sites;
  }
  std::array<void*, 32> frames{};
  const int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
  for (int i = 1; i < count && sites.count < sites.addresses.size(); ++i) {
    void* frame = frames[static_cast<std::size_t>(i)];
    if (inExecutable(frame))
      sites.addresses[sites.count++] = reinterpret_cast<std::uintptr_t>(frame);
  }
  return sites;
}

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

}  // namespace

std::span<const std::uint64_t> lastThrowSites() noexcept {
  return std::span<const std::uint64_t>(last_sites.addresses).first(last_sites.count);
}

}  // namespace vesk

// Every throw expression calls this; the definition here comes before the C++ runtime's, notes
// the site and hands the exception on to the runtime's. Weak, so that an executable that links
// the runtime statically keeps the runtime's own (and names no throw site).
// NOLINTNEXTLINE(bugprone-reserved-identifier): the runtime's entry point, by its name
extern "C" [[gnu::weak, noreturn]] void __cxa_throw(void* object, std::type_info* type,
                                                    void (*destroy)(void*)) {
  static const auto NEXT = reinterpret_cast<vesk::CxaThrow>(::dlsym(RTLD_NEXT, "__cxa_throw"));
  vesk::last_sites = vesk::findSites(__builtin_return_address(0));
  if (NEXT == nullptr) vesk::panic("no C++ runtime to throw with");
  NEXT(object, type, destroy);
  __builtin_unreachable();
}
