#include <vesk/expect.hpp>

#include <unistd.h>

#include <cmath>

#include <vesk/log.hpp>
#include <vesk/panic.hpp>

namespace vesk {

namespace {

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
