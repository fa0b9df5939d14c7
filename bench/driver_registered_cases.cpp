// A harness executable on the default main with 2000 trivial registered cases (one table-driven
// case of 2000 rows), timed by driver_timing against the same cases in driver_cases's table.
#include <array>

#include <vesk/cases.hpp>

namespace {

constexpr std::array<int, 2000> ROWS{};

}  // namespace

VESK_CASE_TABLE("bench.test.case", row, ROWS) {
  static_cast<void>(row);
}
