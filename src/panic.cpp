#include <vesk/panic.hpp>
#include <vesk/sink.hpp>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace vesk {

namespace {

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
  [[maybe_unused]] auto written = ::write(errorSink(), buf, static_cast<std::size_t>(p - buf));
  std::abort();
}

PanicHandler panic_handler = defaultPanic;

[[noreturn]] void stop(std::string_view message, const ErrorTrace* trace, std::uintptr_t frame,
                       std::uintptr_t ret) {
  panic_handler(message, trace, frame, ret);
  std::abort();  // a handler must not return; make sure of it
}

}  // namespace

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

}  // namespace vesk
