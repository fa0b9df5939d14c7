#include <vesk/expect.hpp>

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include <vesk/log.hpp>
#include <vesk/panic.hpp>
#include "stderr_lock.hpp"

#include "case_verdict.hpp"
#include "escape.hpp"

namespace vesk {

namespace {

using detail::Shown;
using detail::ShownSequence;
using Kind = Shown::Kind;

// How much of two differing strings or sequences a message shows: this many bytes or elements
// before the first difference, and as many from it on.
constexpr std::size_t BYTES_AROUND = 16;
constexpr std::size_t ELEMENTS_AROUND = 3;
// A string shown whole (a scalar operand, or an element of a sequence) is cut after this many
// bytes: the difference is in the message's other parts, or in a different element.
constexpr std::size_t BYTES_WHOLE = 32;

bool isInteger(Kind kind) noexcept {
  return kind == Kind::signed_integer || kind == Kind::unsigned_integer || kind == Kind::character;
}

bool isFloat(Kind kind) noexcept {
  return kind == Kind::float32 || kind == Kind::float64;
}

bool equalShown(const Shown& a, const Shown& b) noexcept {
  if (isInteger(a.kind) && isInteger(b.kind)) {
    // By value: a negative signed operand never equals an unsigned one, whatever its bits.
    const bool a_signed = a.kind != Kind::unsigned_integer;
    const bool b_signed = b.kind != Kind::unsigned_integer;
    if (a_signed != b_signed && static_cast<std::int64_t>(a_signed ? a.integer : b.integer) < 0) {
      return false;
    }
    return a.integer == b.integer;
  }
  if (isFloat(a.kind) && isFloat(b.kind)) return a.real == b.real;  // false for NaN
  if (a.kind != b.kind) return false;  // a null `const char*` against a string
  if (a.kind == Kind::bytes) return a.bytes == b.bytes;
  return a.integer == b.integer;
}

// A quoted string, cut after `limit` bytes with "..." after the closing quote.
void putQuoted(Writer& out, std::string_view bytes, std::size_t limit) noexcept {
  out.put('"');
  putEscaped(out, bytes.substr(0, limit), '"');
  out.put('"');
  if (bytes.size() > limit) out.put("...");
}

// `wide`: a float is compared with a double, so it prints as the double it was compared as.
void putValue(Writer& out, const Shown& value, bool wide) noexcept {
  switch (value.kind) {
    case Kind::signed_integer: {
      const auto v = static_cast<std::int64_t>(value.integer);
      if (v < 0) out.put('-');
      out.dec(v < 0 ? 0 - value.integer : value.integer);
      return;
    }
    case Kind::unsigned_integer:
      out.dec(value.integer);
      return;
    case Kind::character: {
      const auto c = static_cast<char>(value.integer);
      out.put('\'');
      putEscaped(out, std::string_view(&c, 1), '\'');
      out.put('\'');
      return;
    }
    case Kind::boolean:
      out.put(value.integer != 0 ? "true" : "false");
      return;
    case Kind::pointer:
      if (value.integer == 0) {
        out.put("null");
      } else {
        out.put("0x").hex(value.integer);
      }
      return;
    case Kind::float32:
      if (wide) {
        out.flt(value.real);
      } else {
        out.flt(static_cast<float>(value.real));
      }
      return;
    case Kind::float64:
      out.flt(value.real);
      return;
    case Kind::bytes:
      putQuoted(out, value.bytes, BYTES_WHOLE);
      return;
  }
}

// "5 bytes", "1 byte".
void putCount(Writer& out, std::size_t count, std::string_view noun) noexcept {
  out.dec(count).put(' ').put(noun);
  if (count != 1) out.put('s');
}

// The first position at which two sequences of `len_a` and `len_b` items differ; the shorter
// length when one is a prefix of the other.
template <class Same>
std::size_t firstDifference(std::size_t len_a, std::size_t len_b, Same same) noexcept {
  const std::size_t common = std::min(len_a, len_b);
  std::size_t i = 0;
  while (i < common && same(i))
    ++i;
  return i;
}

// The part of `len` items that a message shows around position `at`: [first, last).
struct Window {
  std::size_t first;
  std::size_t last;
};

Window windowAround(std::size_t at, std::size_t len, std::size_t around) noexcept {
  return {at > around ? at - around : 0, std::min(len, at + around)};
}

void putStringWindow(Writer& out, std::string_view bytes, std::size_t at) noexcept {
  const Window w = windowAround(at, bytes.size(), BYTES_AROUND);
  if (w.first > 0) out.put("...");
  out.put('"');
  putEscaped(out, bytes.substr(w.first, w.last - w.first), '"');
  out.put('"');
  if (w.last < bytes.size()) out.put("...");
}

void putSequenceWindow(Writer& out, const ShownSequence& sequence, std::size_t at,
                       bool wide) noexcept {
  const Window w = windowAround(at, sequence.len, ELEMENTS_AROUND);
  out.put('[');
  if (w.first > 0) out.put("...");
  for (std::size_t i = w.first; i < w.last; ++i) {
    if (i > 0) out.put(", ");
    putValue(out, sequence.at(sequence.data, i), wide);
  }
  if (w.last < sequence.len) out.put(", ...");  // the window is not empty then
  out.put(']');
}

bool holdsDoubles(const ShownSequence& sequence) noexcept {
  return sequence.len > 0 && sequence.at(sequence.data, 0).kind == Kind::float64;
}

template <class F>
bool approxEqAbs(F expected, F actual, F tolerance) noexcept {
  if (expected == actual) return true;
  if (std::isnan(expected) || std::isnan(actual)) return false;
  return std::fabs(expected - actual) <= tolerance;
}

template <class F>
[[gnu::always_inline]] inline bool checkApprox(F expected, F actual, F tolerance) noexcept {
  if (std::isnan(tolerance) || tolerance < 0) unreachable();
  if (approxEqAbs(expected, actual, tolerance)) return true;
  LockedStderr locked;
  Writer& out = locked.out;
  out.put("actual ").flt(actual).put(", not within absolute tolerance ").flt(tolerance);
  out.put(" of expected ").flt(expected).put("\n");
  return false;
}

}  // namespace

// Notes a failure in the running case's verdict with the call it returns to, so that a case that
// drops the result still fails.
#define VESK_NOTE_FAILED_EXPECTATION(err) \
  caseVerdictExpectationFailed(err, reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)))

Result<void> expect(bool ok) noexcept {
  if (!ok) {
    VESK_NOTE_FAILED_EXPECTATION(Error::TestUnexpectedResult);
    return VESK_FAIL(Error::TestUnexpectedResult);
  }
  return {};
}

Result<void> expectApproxEqAbs(double expected, double actual, double tolerance) noexcept {
  if (!checkApprox(expected, actual, tolerance)) {
    VESK_NOTE_FAILED_EXPECTATION(Error::TestExpectedApproxEqAbs);
    return VESK_FAIL(Error::TestExpectedApproxEqAbs);
  }
  return {};
}

Result<void> expectApproxEqAbs(float expected, float actual, float tolerance) noexcept {
  if (!checkApprox(expected, actual, tolerance)) {
    VESK_NOTE_FAILED_EXPECTATION(Error::TestExpectedApproxEqAbs);
    return VESK_FAIL(Error::TestExpectedApproxEqAbs);
  }
  return {};
}

namespace detail {

Result<void> expectEqualShown(const Shown& expected, const Shown& actual) noexcept {
  if (equalShown(expected, actual)) return {};
  {
    LockedStderr locked;
    Writer& out = locked.out;
    if (expected.kind == Kind::bytes && actual.kind == Kind::bytes) {
      const std::string_view e = expected.bytes, a = actual.bytes;
      const std::size_t at =
          firstDifference(e.size(), a.size(), [&](std::size_t i) { return e[i] == a[i]; });
      out.put("strings differ at byte ").dec(at).put(" (expected ");
      putCount(out, e.size(), "byte");
      out.put(", found ").dec(a.size()).put("): expected ");
      putStringWindow(out, e, at);
      out.put(", found ");
      putStringWindow(out, a, at);
    } else {
      const bool wide = expected.kind == Kind::float64 || actual.kind == Kind::float64;
      out.put("expected ");
      putValue(out, expected, wide);
      out.put(", found ");
      putValue(out, actual, wide);
    }
    out.put('\n');
  }
  VESK_NOTE_FAILED_EXPECTATION(Error::TestExpectedEqual);
  return VESK_FAIL(Error::TestExpectedEqual);
}

Result<void> expectEqualSequences(const ShownSequence& expected,
                                  const ShownSequence& actual) noexcept {
  const std::size_t at = firstDifference(expected.len, actual.len, [&](std::size_t i) {
    return equalShown(expected.at(expected.data, i), actual.at(actual.data, i));
  });
  if (at == expected.len && at == actual.len) return {};
  {
    const bool wide = holdsDoubles(expected) || holdsDoubles(actual);
    LockedStderr locked;
    Writer& out = locked.out;
    out.put("sequences differ at index ").dec(at).put(" (expected ");
    putCount(out, expected.len, "element");
    out.put(", found ").dec(actual.len).put("): expected ");
    putSequenceWindow(out, expected, at, wide);
    out.put(", found ");
    putSequenceWindow(out, actual, at, wide);
    out.put('\n');
  }
  VESK_NOTE_FAILED_EXPECTATION(Error::TestExpectedEqual);
  return VESK_FAIL(Error::TestExpectedEqual);
}

}  // namespace detail

}  // namespace vesk
