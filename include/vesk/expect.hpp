// Expectations that cases state: a truth test and an absolute-tolerance comparison of floats.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include <vesk/error.hpp>

namespace vesk {

/// Success when `ok`, otherwise "TestUnexpectedResult" (prints nothing).
[[nodiscard]] Result<void> expect(bool ok) noexcept;

/// Success when `expected` and `actual` are equal or within `tolerance` of each other; otherwise
/// prints "actual {}, not within absolute tolerance {} of expected {}" and returns
/// "TestExpectedApproxEqAbs". A negative or NaN tolerance stops with "reached unreachable code".
[[nodiscard]] Result<void> expectApproxEqAbs(double expected, double actual,
                                             double tolerance) noexcept;
/// The same comparison carried out, and printed, in single precision.
[[nodiscard]] Result<void> expectApproxEqAbs(float expected, float actual,
                                             float tolerance) noexcept;

}  // namespace vesk
