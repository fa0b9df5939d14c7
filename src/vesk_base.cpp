#include "vesk_base.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace vesk {

std::string_view errorName(Error e) noexcept {
  switch (e) {
    case Error::OutOfMemory:
      return "OutOfMemory";
    case Error::TestUnexpectedResult:
      return "TestUnexpectedResult";
    case Error::TestExpectedApproxEqAbs:
      return "TestExpectedApproxEqAbs";
    case Error::SkipCase:
      return "SkipCase";
    case Error::InputOutput:
      return "InputOutput";
    case Error::BrokenPipe:
      return "BrokenPipe";
    case Error::StreamTooLong:
      return "StreamTooLong";
    case Error::Unexpected:
      return "Unexpected";
    case Error::MissingDebugInfo:
      return "MissingDebugInfo";
    case Error::InvalidDebugInfo:
      return "InvalidDebugInfo";
  }
  return "Unexpected";
}

namespace {

thread_local ErrorTrace* active_trace = nullptr;

// Used until the harness installs its own report: enough to say what broke, with no trace.
[[noreturn]] void defaultPanic(std::string_view message, const ErrorTrace*, std::uintptr_t,
                               std::uintptr_t) {
  char buf[512];
  char* p = buf;
  auto put = [&](std::string_view s) {
    std::size_t n = std::min<std::size_t>(s.size(), static_cast<std::size_t>(buf + sizeof buf - p));
    std::memcpy(p, s.data(), n);
    p += n;
  };
  put("thread ");
  char digits[24];
  const auto printed = std::to_chars(digits, digits + sizeof digits, static_cast<long>(gettid()));
  put(std::string_view(digits, static_cast<std::size_t>(printed.ptr - digits)));
  put(" panic: ");
  put(message);
  put("\n");
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, buf, static_cast<std::size_t>(p - buf));
  std::abort();
}

PanicHandler panic_handler = defaultPanic;

[[noreturn]] void stop(std::string_view message, const ErrorTrace* trace, std::uintptr_t frame,
                       std::uintptr_t ret) {
  panic_handler(message, trace, frame, ret);
  std::abort();  // a handler must not return; make sure of it
}

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

constexpr AllocatorVTable malloc_vtable{mallocAlloc, mallocResize, mallocFree};

}  // namespace

ErrorTrace* activeErrorTrace() noexcept {
  return active_trace;
}

ErrorTrace* setActiveErrorTrace(ErrorTrace* trace) noexcept {
  return std::exchange(active_trace, trace);
}

void recordErrorReturn(std::uint64_t address) noexcept {
  ErrorTrace* trace = active_trace;
  if (trace == nullptr) return;
  if (trace->index < trace->instruction_addresses.size()) {
    trace->instruction_addresses[trace->index] = address;
  }
  // Keeps counting past the slots so the report can say how many were skipped.
  if (trace->index != std::numeric_limits<std::uint64_t>::max()) ++trace->index;
}

void setPanicHandler(PanicHandler handler) noexcept {
  panic_handler = handler != nullptr ? handler : defaultPanic;
}

#define VESK_CALLER_FRAME reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#define VESK_CALLER_RET reinterpret_cast<std::uintptr_t>(__builtin_return_address(0))

void panic(std::string_view message) noexcept {
  stop(message, nullptr, VESK_CALLER_FRAME, VESK_CALLER_RET);
}

void panicWithTrace(std::string_view message, const ErrorTrace* trace) noexcept {
  stop(message, trace, VESK_CALLER_FRAME, VESK_CALLER_RET);
}

void panicOutOfBounds(std::uint64_t index, std::uint64_t len) noexcept {
  char buf[96] = "index out of bounds: index ";
  char* p = buf + std::strlen(buf);
  p = std::to_chars(p, buf + sizeof buf, index).ptr;
  std::memcpy(p, ", len ", 6);
  p = std::to_chars(p + 6, buf + sizeof buf, len).ptr;
  stop(std::string_view(buf, static_cast<std::size_t>(p - buf)), nullptr, VESK_CALLER_FRAME,
       VESK_CALLER_RET);
}

void unreachable() noexcept {
  stop("reached unreachable code", nullptr, VESK_CALLER_FRAME, VESK_CALLER_RET);
}

Allocator mallocAllocator() noexcept {
  return Allocator{nullptr, &malloc_vtable};
}

}  // namespace vesk
