#include <vesk/vesk_harness.hpp>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "case_guard.hpp"
#include "progress.hpp"
#include "run_case.hpp"
#include "server.hpp"
#include "stderr_lock.hpp"
#include "stop.hpp"
#include "summary.hpp"
#include "symbolize.hpp"
#include "terminal.hpp"
#include "writer.hpp"

namespace vesk {

namespace {

constexpr rlim_t WANTED_STACK_SIZE = rlim_t{16} * 1024 * 1024;

// Holds the argument list and, in build-driver mode, the receive queue: the runner allocates
// nothing else for itself.
alignas(16) std::byte cmdline_buffer[4096];

struct ParsedArgs {
  std::span<const std::string_view> args;
  std::span<std::byte> rest;  // what the argument list left free
};

// Copies the argument list into `cmdline_buffer` by bump allocation: first the array of views,
// then each argument's bytes with a terminating zero.
std::optional<ParsedArgs> parseArgs(int argc, char** argv) noexcept {
  std::span<std::byte> free_area(cmdline_buffer);
  const std::size_t count = argc > 0 ? static_cast<std::size_t>(argc) : 0;
  const std::size_t views_size = count * sizeof(std::string_view);
  if (views_size > free_area.size()) return std::nullopt;
  auto* views = reinterpret_cast<std::string_view*>(free_area.data());
  free_area = free_area.subspan(views_size);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t len = std::strlen(argv[i]);
    if (len + 1 > free_area.size()) return std::nullopt;
    std::memcpy(free_area.data(), argv[i], len + 1);
    views[i] = std::string_view(reinterpret_cast<const char*>(free_area.data()), len);
    free_area = free_area.subspan(len + 1);
  }
  return ParsedArgs{std::span<const std::string_view>(views, count), free_area};
}

// Deep recursion in cases should hit our limit, not the default 8 MiB one; a refusal is harmless.
void raiseStackLimit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_STACK, &limit) != 0) return;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= WANTED_STACK_SIZE) return;
  rlim_t wanted = WANTED_STACK_SIZE;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) wanted = limit.rlim_max;
  limit.rlim_cur = wanted;
  ::setrlimit(RLIMIT_STACK, &limit);
}

void noop(int) {}

// A write to a driver that went away must fail with an error, not end the process.
void ignoreBrokenPipe() noexcept {
  struct sigaction act {};
  act.sa_handler = noop;
  sigemptyset(&act.sa_mask);
  if (::sigaction(SIGPIPE, &act, nullptr) != 0) {
    char message[96] = "failed to set noop SIGPIPE handler: ";
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): errno names are C strings
    std::strncat(message, errnoName(errno).data(), 40);
    panic(message);
  }
}

struct Counts {
  std::uint64_t ok_count = 0;
  std::uint64_t skip_count = 0;
  std::uint64_t fail_count = 0;
  std::uint64_t leaks = 0;
};

void printAnnouncement(Writer& out, std::size_t i, std::size_t total, std::string_view name) {
  out.dec(i + 1).put("/").dec(total).put(" ").put(name).put("...");
}

// Runs every case in order and prints the summary; returns the exit status, 1 when a case failed,
// leaked or logged an error.
int mainTerminal(std::span<const TestCase> cases) noexcept {
  ProgressNode* root_node = progressStart("Test", cases.size());
  const bool have_tty = Terminal::forErrorSink().isTerminal();
  Counts counts;

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const TestCase& test = cases[i];
    // Terminal mode resets the log threshold for every case; the count of logged errors runs on
    // for the whole run, which it fails.
    log_level.store(LogLevel::warn);
    ProgressNode* test_node = progressStartChild(root_node, test.name, 0);
    if (!have_tty) {
      LockedStderr locked;
      printAnnouncement(locked.out, i, cases.size(), test.name);
    }

    const CaseRun run = runCase(test, [&](const CaseRun& run, const ErrorTrace& trace) {
      if (run.result.has_value()) {
        checkedIncrement(counts.ok_count);
        progressEnd(test_node);
        if (!have_tty) LockedStderr().out.put("OK\n");
        return;
      }
      checkedIncrement(run.skipped() ? counts.skip_count : counts.fail_count);
      {
        LockedStderr locked;
        if (have_tty) printAnnouncement(locked.out, i, cases.size(), test.name);
        if (run.skipped()) {
          locked.out.put("SKIP\n");
        } else {
          locked.out.put("FAIL (").put(errorName(run.result.error())).put(")\n");
        }
      }
      if (run.failed()) {
        // The trace goes out without the lock, as stop reports do.
        Writer out;
        printErrorTrace(out, trace);
      }
      progressEnd(test_node);
    });
    if (run.leaked) checkedIncrement(counts.leaks);
  }
  progressEnd(root_node);

  const std::uint64_t errors = log_err_count.load();
  {
    LockedStderr locked;
    writeSummary(locked.out, RunCounts{.selected = cases.size(),
                                       .passed = counts.ok_count,
                                       .skipped = counts.skip_count,
                                       .failed = counts.fail_count,
                                       .leaked = counts.leaks,
                                       .log_errors = errors});
  }
  return counts.leaks != 0 || errors != 0 || counts.fail_count != 0 ? 1 : 0;
}

void startUp() noexcept {
  raiseStackLimit();
  installStopHandlers();
  ignoreBrokenPipe();
}

int runMode(std::span<const TestCase> cases, bool listen, std::span<std::byte> rest) noexcept {
  takeProcessState(listen);
  ErrorTrace trace;
  setActiveErrorTrace(&trace);
  int status = 0;
  if (listen) {
    const Result<int> served = mainServer(cases, rest);
    if (!served.has_value()) panicWithTrace("internal test runner failure", &trace);
    status = *served;
  } else {
    status = mainTerminal(cases);
  }
  setActiveErrorTrace(nullptr);
  return status;
}

}  // namespace

int harnessMain(int argc, char** argv, std::span<const TestCase> cases) {
  startUp();
  const std::optional<ParsedArgs> parsed = parseArgs(argc, argv);
  if (!parsed) panic("unable to parse command line args");
  bool listen = false;
  for (std::string_view arg : parsed->args.subspan(parsed->args.empty() ? 0 : 1)) {
    if (arg != "--listen=-") panic("unrecognized command line argument");
    listen = true;
  }
  return runMode(cases, listen, parsed->rest);
}

int harnessRun(std::span<const TestCase> cases, bool listen) {
  startUp();
  return runMode(cases, listen, cmdline_buffer);
}

}  // namespace vesk
