// Error values and where they travelled: the one error type of the libraries and the harness, the
// `Result<T>` every fallible operation returns, the error-return trace, and the two macros that
// return an error while recording the returning statement in that trace.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>

namespace vesk {

/// Every error a library operation or a case can return; `errorName` gives its printed name. One
/// closed set, so that every `Result` has the same error type and a case passes up a library's
/// error unchanged: the libraries produce only `OutOfMemory`, the rest are the harness's. Its
/// stream and debug-information errors stay here because harness functions pass those up with
/// allocator errors through one `VESK_TRY`; a set of their own would need a second error type in
/// every harness signature, with a conversion at each library call.
enum class Error : std::uint8_t {
  OutOfMemory,
  // Failed expectations, a case that threw, and the skip, returned by cases.
  TestUnexpectedResult,
  TestExpectedApproxEqAbs,
  TestExpectedEqual,
  UncaughtException,  ///< an exception left the case; the harness caught it
  SkipCase,           ///< the distinguished skip error: the case declares itself skipped
  // Harness-internal failures of the build-driver streams.
  InputOutput,
  BrokenPipe,
  StreamTooLong,
  Unexpected,
  // Failures of reading the executable's own debug information for traces.
  MissingDebugInfo,
  InvalidDebugInfo,
  // Failed checks of registered cases that no expectation above names.
  TestExpectedRelation,   ///< VESK_CHECK_NE, _LT, _LE, _GT or _GE
  TestExpectedException,  ///< VESK_CHECK_THROWS_AS or VESK_CHECK_NOTHROW
};

/// The printed name of `e`, for example "OutOfMemory".
std::string_view errorName(Error e) noexcept;

/// Success with a value of type T, or one error value.
template <class T = void>
using Result = std::expected<T, Error>;

/// Where an error travelled: the addresses of the places that returned or passed it up, oldest
/// first. `index` keeps counting past the 32 slots.
struct ErrorTrace {
  std::uint64_t index = 0;
  std::array<std::uint64_t, 32> instruction_addresses{};
};

/// The trace that error returns on this thread are recorded in, or null (then nothing is recorded).
ErrorTrace* activeErrorTrace() noexcept;
/// Installs `trace` as this thread's active trace; returns the one installed before.
ErrorTrace* setActiveErrorTrace(ErrorTrace* trace) noexcept;
/// Records one error return at `address` in the active trace, if there is one.
void recordErrorReturn(std::uint64_t address) noexcept;
/// The address this call returns to; `line` only tells call sites apart. Never inlined.
[[gnu::noinline]] std::uint64_t returnAddressOfThisCall(int line) noexcept;

}  // namespace vesk

#if defined(__x86_64__) && !defined(VESK_PORTABLE_HERE_PC)
/// The address of the instruction right after this point, as a return address would be. The line
/// number in the assembly text keeps the compiler from merging two sites into one instruction.
#define VESK_HERE_PC()                                                                          \
  (__extension__({                                                                              \
    std::uint64_t vesk_pc_;                                                                     \
    asm volatile("lea 0(%%rip), %0 # error return, line %c1" : "=r"(vesk_pc_) : "i"(__LINE__)); \
    vesk_pc_;                                                                                   \
  }))
#else
/// The same on any target: the return address of a call made here, one call instruction per site.
/// The line number passed keeps the compiler from merging two sites' calls into one.
#define VESK_HERE_PC() (::vesk::returnAddressOfThisCall(__LINE__))
#endif

/// An error result for `err` (any `Result<T>`), recording this statement in the error-return trace.
#define VESK_FAIL(err) \
  (::vesk::recordErrorReturn(VESK_HERE_PC()), ::std::unexpected(::vesk::Error{err}))

/// Evaluates `expr` (a `Result<T>`); on error records this statement in the error-return trace and
/// returns the error from the enclosing function, otherwise yields the value.
#define VESK_TRY(expr)                                \
  (__extension__({                                    \
    auto&& vesk_result_ = (expr);                     \
    if (!vesk_result_.has_value()) {                  \
      ::vesk::recordErrorReturn(VESK_HERE_PC());      \
      return ::std::unexpected(vesk_result_.error()); \
    }                                                 \
    *std::move(vesk_result_);                         \
  }))
