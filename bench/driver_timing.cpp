// Paired whole-process timings of vesk-run against the same executable in terminal mode: start-up,
// per-case cost, parallelism and registered cases, interleaved round after round, medians and
// spread of wall and processor time (docs/test-tools.md).
//   driver_timing [rounds]    (default 21)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Runs {
  std::vector<double> ms;      // wall time of each run
  std::vector<double> cpu_ms;  // processor time of each run, its reaped children's included
};

struct Variant {
  std::string label;
  std::vector<std::string> argv;
  std::vector<std::string> env;  // added to this process's environment
  Runs runs;
};

double milliseconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}

void runOnce(Variant& variant) {
  std::vector<std::string> env_strings(variant.env);
  for (char** e = environ; *e != nullptr; ++e)
    env_strings.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (const std::string& a : variant.argv)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env_strings)
    envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    (void)std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    (void)std::fprintf(stderr, "%s ended with status %d\n", variant.label.c_str(), status);
    std::exit(1);
  }
  variant.runs.ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  variant.runs.cpu_ms.push_back(milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime));
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const double at = p * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(at);
  const std::size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

// Runs the variants interleaved (the order turns each round) and prints each against the first.
void scenario(const char* title, std::vector<Variant> variants, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < variants.size(); ++k) {
      Variant& v = variants[(k + static_cast<std::size_t>(round)) % variants.size()];
      runOnce(v);
    }
  }
  std::printf("%s\n", title);
  const double base = percentile(variants.front().runs.ms, 0.5);
  const double cpu_base = percentile(variants.front().runs.cpu_ms, 0.5);
  for (const Variant& v : variants) {
    const double median = percentile(v.runs.ms, 0.5);
    const double cpu = percentile(v.runs.cpu_ms, 0.5);
    std::printf(
        "  %-28s median %8.2f ms  (p25 %8.2f, p75 %8.2f)  ratio %.2f  | cpu %8.2f ms  "
        "ratio %.2f\n",
        v.label.c_str(), median, percentile(v.runs.ms, 0.25), percentile(v.runs.ms, 0.75),
        median / base, cpu, cpu / cpu_base);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 21;
  const std::string product = VESK_PRODUCT, driver = VESK_RUN, cases = VESK_BENCH_CASES,
                    registered = VESK_BENCH_REGISTERED;
  scenario("start-up: the product's 36 cases",
           {{"vesk (terminal mode)", {product}, {}, {}},
            {"vesk-run -j1 vesk", {driver, "-j1", product}, {}, {}}},
           rounds);
  const std::vector<std::string> trivial = {"BENCH_CASES=2000", "BENCH_CASE_MS=0"};
  scenario("per-case cost: 2000 trivial cases",
           {{"terminal mode", {cases}, trivial, {}},
            {"vesk-run -j1", {driver, "-j1", cases}, trivial, {}},
            {"vesk-run -j2", {driver, "-j2", cases}, trivial, {}}},
           rounds);
  scenario("registration: 2000 trivial cases in terminal mode",
           {{"table (harnessMain)", {cases}, trivial, {}},
            {"registered (harness_main)", {registered}, {}, {}}},
           rounds);
  const std::vector<std::string> slow = {"BENCH_CASES=30", "BENCH_CASE_MS=40"};
  scenario(
      "parallelism: 30 cases of 40 ms",
      {{"terminal mode", {cases}, slow, {}}, {"vesk-run -j2", {driver, "-j2", cases}, slow, {}}},
      std::max(3, rounds / 3));
  return 0;
}
