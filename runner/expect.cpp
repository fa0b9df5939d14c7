#include "expect.hpp"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "log.hpp"

namespace vesk {

namespace {

// Rewrites the standard library's shortest scientific form ("1e+00", "-2.5e-07") into the
// printed form: no plus sign and no leading zeros in the exponent ("1e0", "-2.5e-7").
template <class F>
std::string_view formatShortest(std::span<char, 32> out, F value) noexcept {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char raw[40];
  const auto end = std::to_chars(raw, raw + sizeof raw, value, std::chars_format::scientific).ptr;
  const std::string_view text(raw, static_cast<std::size_t>(end - raw));
  const std::size_t e = text.find('e');
  std::size_t n = 0;
  auto emit = [&](std::string_view s) {
    std::memcpy(out.data() + n, s.data(), s.size());
    n += s.size();
  };
  emit(text.substr(0, e + 1));
  std::string_view exponent = text.substr(e + 1);
  if (exponent.front() == '-') {
    emit("-");
    exponent.remove_prefix(1);
  } else if (exponent.front() == '+') {
    exponent.remove_prefix(1);
  }
  while (exponent.size() > 1 && exponent.front() == '0')
    exponent.remove_prefix(1);
  emit(exponent);
  return std::string_view(out.data(), n);
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
  StderrLock lock;
  Writer out(STDERR_FILENO);
  out.put("actual ").flt(actual).put(", not within absolute tolerance ").flt(tolerance);
  out.put(" of expected ").flt(expected).put("\n");
  return false;
}

}  // namespace

std::string_view formatFloat(std::span<char, 32> out, double value) noexcept {
  return formatShortest(out, value);
}

std::string_view formatFloat(std::span<char, 32> out, float value) noexcept {
  return formatShortest(out, value);
}

Result<void> expect(bool ok) noexcept {
  if (!ok) return VESK_FAIL(Error::TestUnexpectedResult);
  return {};
}

Result<void> expectApproxEqAbs(double expected, double actual, double tolerance) noexcept {
  if (!checkApprox(expected, actual, tolerance)) return VESK_FAIL(Error::TestExpectedApproxEqAbs);
  return {};
}

Result<void> expectApproxEqAbs(float expected, float actual, float tolerance) noexcept {
  if (!checkApprox(expected, actual, tolerance)) return VESK_FAIL(Error::TestExpectedApproxEqAbs);
  return {};
}

}  // namespace vesk
