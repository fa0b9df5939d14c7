// A harness executable for timing vesk-run: BENCH_CASES cases (default 2000), each sleeping
// BENCH_CASE_MS milliseconds (default 0, a trivial case).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <vesk/vesk_harness.hpp>

namespace {

long case_ms = 0;

vesk::Result<void> sleeps() {
  if (case_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(case_ms));
  return {};
}

long envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = envNumber("BENCH_CASES", 2000);
  case_ms = envNumber("BENCH_CASE_MS", 0);
  static std::vector<std::string> names;
  static std::vector<vesk::TestCase> cases;
  names.reserve(static_cast<std::size_t>(std::max(count, 0L)));
  for (long i = 0; i < count; ++i)
    names.push_back("bench.test.case " + std::to_string(i));
  cases.reserve(names.size());
  for (const std::string& name : names)
    cases.push_back({name, sleeps});
  return vesk::harnessMain(argc, argv, cases);
}
