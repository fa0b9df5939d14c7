// Stops: the end of the process when an invariant breaks ("thread {} panic: {message}", then the
// abort signal), never an error result; and the checked arithmetic, casts and lookups that stop
// instead of wrapping, truncating or reading what is not there. The harness plugs its report in
// through `setPanicHandler`.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

namespace vesk {

struct ErrorTrace;

/// Receives every stop: the message, the error-return trace being handled (or null), and the
/// frame pointer and return address of the place that called the stop. It must not return.
using PanicHandler = void (*)(std::string_view message, const ErrorTrace* trace,
                              std::uintptr_t frame, std::uintptr_t return_address);

/// Replaces the stop report; the default prints "thread {} panic: {message}" and aborts.
void setPanicHandler(PanicHandler handler) noexcept;

/// Stops the process: a broken invariant, never an error result.
[[noreturn, gnu::noinline, gnu::cold]] void panic(std::string_view message) noexcept;
/// Stops the process while an error is being handled; the report includes `trace`.
[[noreturn, gnu::noinline, gnu::cold]] void panicWithTrace(std::string_view message,
                                                           const ErrorTrace* trace) noexcept;
/// Stops with "index out of bounds: index {index}, len {len}".
[[noreturn, gnu::noinline, gnu::cold]] void panicOutOfBounds(std::uint64_t index,
                                                             std::uint64_t len) noexcept;
/// Stops with "reached unreachable code".
[[noreturn, gnu::noinline, gnu::cold]] void unreachable() noexcept;

/// `a + b`, stopping with "integer overflow" when the sum does not fit in T.
template <class T>
constexpr T checkedAdd(T a, T b) noexcept {
  T sum;
  if (__builtin_add_overflow(a, b, &sum)) panic("integer overflow");
  return sum;
}

/// Adds one to `counter`, stopping with "integer overflow" at the largest value of T.
template <class T>
constexpr void checkedIncrement(T& counter) noexcept {
  counter = checkedAdd(counter, T{1});
}

/// `value` as To, stopping with "integer cast truncated bits" when it does not fit.
template <class To, class From>
constexpr To checkedCast(From value) noexcept {
  if (!std::in_range<To>(value)) panic("integer cast truncated bits");
  return static_cast<To>(value);
}

/// The value inside `opt`, stopping with "attempt to use null value" when it is absent.
template <class T>
constexpr decltype(auto) unwrap(T&& opt) noexcept {
  if (!opt.has_value()) panic("attempt to use null value");
  return *std::forward<T>(opt);
}

/// Stops with "index out of bounds" unless `index` < `len`.
constexpr void checkIndex(std::uint64_t index, std::uint64_t len) noexcept {
  if (index >= len) panicOutOfBounds(index, len);
}

}  // namespace vesk
