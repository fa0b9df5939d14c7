// Whole workloads through ordinary new inside a case, each in a process of its own so that its
// peak resident memory can be read: checked, plain and under AddressSanitizer; without arguments
// it runs them all, alternating, and prints medians and ratios (docs/test-tools.md, with the
// VESK_BENCH_* variables that shorten a run).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <vesk/checking_allocator.hpp>
#include <vesk/vesk_harness.hpp>

namespace {

using Clock = std::chrono::steady_clock;

struct Widget {
  std::uint64_t parts[3];  // 24 bytes
};

void* volatile sink = nullptr;
volatile std::size_t total_len = 0;
Clock::time_point case_end;
std::int64_t loop_ns = 0;

// A positive whole number from the environment, or `fallback`.
long fromEnvironment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 ? value : fallback;
}

std::size_t scaled(std::size_t n) {
  return n / static_cast<std::size_t>(fromEnvironment("VESK_BENCH_SCALE", 1));
}

// Ordinary new goes to the C library in this mode: the baseline of the same loop.
void chooseMode() {
  if (std::getenv("VESK_BENCH_PLAIN") != nullptr) vesk::uncheckOrdinaryNewInThisCase();
}

// The process's processor time so far, user and system.
double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double case_end_cpu = 0;

// Loops are timed in processor time, which a machine busy with other work disturbs far less than
// the clock on the wall.
vesk::Result<void> finish(double start) {
  case_end_cpu = cpuSeconds();
  case_end = Clock::now();
  loop_ns = static_cast<std::int64_t>((case_end_cpu - start) * 1e9);
  return {};
}

// The end of the case from here: what the workload still does of its own is no clean-up of the
// allocator's.
void markCaseEnd() {
  case_end_cpu = cpuSeconds();
  case_end = Clock::now();
}

// One block live at a time.
vesk::Result<void> pairs() {
  chooseMode();
  const std::size_t n = scaled(100'000'000);
  const double start = cpuSeconds();
  for (std::size_t i = 0; i < n; ++i) {
    auto* widget = new Widget{};
    sink = widget;
    delete widget;
  }
  return finish(start);
}

// Ten million blocks live at once, then all freed; their pointers are kept outside the
// allocators measured.
vesk::Result<void> liveThenFreed() {
  chooseMode();
  const std::size_t n = scaled(10'000'000);
  auto** kept = static_cast<Widget**>(std::malloc(n * sizeof(Widget*)));
  const double start = cpuSeconds();
  for (std::size_t i = 0; i < n; ++i)
    kept[i] = new Widget{};
  for (std::size_t i = 0; i < n; ++i)
    delete kept[i];
  const auto result = finish(start);
  std::free(static_cast<void*>(kept));
  markCaseEnd();
  return result;
}

// A map of a million strings too long to be stored inline: filled, read back, destroyed.
vesk::Result<void> stringMap() {
  chooseMode();
  const auto n = static_cast<int>(scaled(1'000'000));
  const double start = cpuSeconds();
  {
    std::unordered_map<int, std::string> map;
    for (int i = 0; i < n; ++i)
      map.emplace(i, "value number " + std::to_string(i));
    std::size_t total = 0;
    for (int i = 0; i < n; ++i)
      total += map.at(i).size();
    total_len = total;
  }
  return finish(start);
}

constexpr vesk::TestCase PAIRS_CASE[] = {{"bench.test.pairs", pairs}};
constexpr vesk::TestCase LIVE_CASE[] = {{"bench.test.live then freed", liveThenFreed}};
constexpr vesk::TestCase MAP_CASE[] = {{"bench.test.string map", stringMap}};

struct Workload {
  std::string_view name;
  std::span<const vesk::TestCase> table;
  double ops;  // per run, for the time per operation
};

const Workload WORKLOADS[] = {
    {"pairs", PAIRS_CASE, 1e8},
    {"live", LIVE_CASE, 1e7},
    {"map", MAP_CASE, 1e6},
};

// The child: runs one workload's case, then prints the loop's time and the time from the case's
// end to here (its check and clean-up) on standard output.
int runChild(std::string_view name, char* self) {
  for (const Workload& w : WORKLOADS) {
    if (w.name != name) continue;
    char* argv[] = {self, nullptr};
    const int status = vesk::harnessMain(1, argv, w.table);
    const auto end_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - case_end).count();
    const auto end_cpu_ns = static_cast<long long>((cpuSeconds() - case_end_cpu) * 1e9);
    std::printf("%lld %lld %lld\n", static_cast<long long>(loop_ns), static_cast<long long>(end_ns),
                end_cpu_ns);
    return status;
  }
  return 2;
}

struct Sample {
  double loop_s = 0;
  double end_s = 0;
  double end_cpu_s = 0;
  double peak_mib = 0;
};

// Runs `program` on one workload in a fresh process; the peak is the child's resident maximum.
bool runOnce(const char* program, std::string_view workload, bool plain, Sample& sample) {
  int out[2];
  if (::pipe(out) != 0) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    // The harness's own lines would only clutter the table.
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::setenv("VESK_BENCH_WORKLOAD", std::string(workload).c_str(), 1);
    if (plain) ::setenv("VESK_BENCH_PLAIN", "1", 1);
    ::execl(program, program, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  char text[128] = {};
  const ssize_t got = ::read(out[0], text, sizeof text - 1);
  ::close(out[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (got <= 0 || status != 0) return false;
  char* rest = nullptr;
  const long long loop = std::strtoll(text, &rest, 10);
  const long long end = std::strtoll(rest, &rest, 10);
  const long long end_cpu = std::strtoll(rest, nullptr, 10);
  sample =
      Sample{static_cast<double>(loop) * 1e-9, static_cast<double>(end) * 1e-9,
             static_cast<double>(end_cpu) * 1e-9, static_cast<double>(usage.ru_maxrss) / 1024.0};
  return true;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct Mode {
  const char* label;
  const char* program;
  bool plain;
};

int runDriver(char* self) {
  const long rounds = fromEnvironment("VESK_BENCH_ROUNDS", 3);
  std::vector<Mode> modes = {{"checked", self, false}, {"plain", self, true}};
  // Without a path of its own the twin is not there: the comparison with the sanitizer is left out.
#ifdef VESK_BENCH_SANITIZED_TWIN
  modes.push_back({"asan", VESK_BENCH_SANITIZED_TWIN, false});
#endif
  const double scale = static_cast<double>(scaled(1'000'000)) / 1e6;
  std::printf("%-6s %-8s %12s %10s %10s %10s %8s\n", "work", "mode", "ns/op", "peak MiB", "end s",
              "end cpu s", "ratio");
  const char* only = std::getenv("VESK_BENCH_ONLY");
  for (const Workload& w : WORKLOADS) {
    if (only != nullptr && std::string_view(only).find(w.name) == std::string_view::npos) continue;
    // Rounds alternate between the modes, so that a busy machine slows them alike.
    std::vector<std::vector<Sample>> samples(modes.size());
    for (long r = 0; r < rounds; ++r) {
      for (std::size_t m = 0; m < modes.size(); ++m) {
        Sample s;
        if (!runOnce(modes[m].program, w.name, modes[m].plain, s)) {
          static_cast<void>(std::fprintf(stderr, "%s in mode %s failed\n",
                                         std::string(w.name).c_str(), modes[m].label));
          return 1;
        }
        samples[m].push_back(s);
      }
    }
    double checked_ns = 0;
    for (std::size_t m = 0; m < modes.size(); ++m) {
      std::vector<double> loops, ends, end_cpus, peaks;
      for (const Sample& s : samples[m]) {
        loops.push_back(s.loop_s);
        ends.push_back(s.end_s);
        end_cpus.push_back(s.end_cpu_s);
        peaks.push_back(s.peak_mib);
      }
      const double ns = median(loops) * 1e9 / (w.ops * scale);
      if (m == 0) checked_ns = ns;
      std::printf("%-6s %-8s %12.1f %10.1f %10.3f %10.3f %8.2f\n", std::string(w.name).c_str(),
                  modes[m].label, ns, median(peaks), median(ends), median(end_cpus),
                  m == 0 ? 1.0 : checked_ns / ns);
    }
  }
  return 0;
}

}  // namespace

int main(int, char** argv) {
  if (const char* workload = std::getenv("VESK_BENCH_WORKLOAD")) return runChild(workload, argv[0]);
  static char self[] = "/proc/self/exe";
  return runDriver(self);
}
