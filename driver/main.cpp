// vesk-run: the build driver for harness executables. It reads the command line, opens a session
// with the executable's first server, lists or runs the selected cases, reports, and chooses the
// exit status (0 all good, 1 a bad case or server, 2 a usage or protocol problem).
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <vesk/log.hpp>
#include "junit.hpp"
#include "options.hpp"
#include "report.hpp"
#include "scheduler.hpp"
#include "session.hpp"
#include "waiting.hpp"

namespace {

using namespace vesk::driver;

constexpr int BAD_CASE = 1;
constexpr int USAGE_OR_PROTOCOL = 2;

int complain(std::string_view message, int status = USAGE_OR_PROTOCOL) {
  vesk::LockedStderr locked;
  locked.out.put("vesk-run: ").put(message).put("\n");
  return status;
}

std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Prints the selected names; a list that cannot be written all is a failure, not a short list.
int printList(std::span<const std::string> names, std::span<const std::uint32_t> selected) {
  std::string text;
  for (std::uint32_t index : selected)
    text.append(names[index]).push_back('\n');
  if (const int failure = vesk::writeAll(STDOUT_FILENO, text.data(), text.size()); failure != 0)
    return complain("cannot write the case list: " + std::string(vesk::errnoName(failure)),
                    BAD_CASE);
  return 0;
}

void printExitProblems(std::span<const ServerExitProblem> problems) {
  for (const ServerExitProblem& problem : problems) {
    vesk::LockedStderr locked;
    locked.out.put("vesk-run: ").put(problem.message);
    if (problem.output.empty()) {
      locked.out.put("\n");
    } else {
      locked.out.put("; it wrote:\n").put(problem.output);
      if (!problem.output.ends_with('\n')) locked.out.put("\n");
    }
  }
}

// Runs the selection over the session's servers, reports it, and ends as the run says.
int runCases(const Options& options, Session& session, ServerLauncher& launcher,
             std::span<const std::uint32_t> selected, Clock::time_point start) {
  const std::vector<std::string>& names = session.names();
  Reporter reporter(names, selected, options.verbose);
  RunEnd end;
  {
    RunPlan plan{options.executable, names, selected, options.jobs};
    plan.timeout_seconds = options.timeout_seconds.value_or(0);
    plan.output_keep = options.output_keep;
    plan.isolate = options.isolate;
    plan.retries = options.retries;
    plan.keep_output = !options.junit_path.empty();
    Scheduler scheduler(plan, launcher, reporter);
    scheduler.adopt(session.takeServer());
    end = scheduler.run();
  }  // every server is gone before the summary
  restoreDefaultSignals();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  reporter.abandon();
  printExitProblems(end.exit_problems);
  reporter.finish(end.results, seconds);

  int status = end.exit_problems.empty() ? 0 : BAD_CASE;
  for (const CaseResult& result : end.results) {
    if (finished(result) && !isClean(result)) status = BAD_CASE;
  }
  if (!options.junit_path.empty()) {
    const std::string report =
        junitReport(baseName(options.executable), names, end.results, end.exit_problems, seconds);
    if (const auto written = writeReportFile(options.junit_path, report); !written)
      status = complain(written.error());
  }
  if (end.signal != 0) return endBySignal(end.signal);
  if (!end.failure.empty()) return complain(end.failure);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  installDriverSignals();
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
  const auto options = parseOptions(args, processors > 0 ? static_cast<unsigned>(processors) : 1);
  if (!options) {
    complain(options.error());
    return complain("try 'vesk-run --help'");
  }
  if (options->help) {
    vesk::Writer(STDOUT_FILENO).put(helpText());
    return 0;
  }
  // An unusable report path is found now, not after a long run.
  if (!options->list && !options->junit_path.empty()) {
    if (const auto usable = checkReportPath(options->junit_path); !usable)
      return complain(usable.error());
  }

  const Clock::time_point start = Clock::now();
  ProcessLauncher launcher(options->executable);
  auto session = Session::open(launcher, options->executable);
  if (!session) {
    if (session.error().signal != 0) return endBySignal(session.error().signal);
    return complain(session.error().message);
  }
  const std::vector<std::string>& names = session->names();
  const std::vector<std::uint32_t> selected = selectCases(*options, names);
  const bool filtered = !options->filters.empty() || !options->excludes.empty();

  if (options->list && (!selected.empty() || !filtered)) {
    session->close();
    return printList(names, selected);
  }
  if (selected.empty()) {
    session->close();
    return complain(names.empty() ? "'" + options->executable + "' has no cases"
                                  : "no case matches the --filter and --exclude patterns (" +
                                        std::to_string(names.size()) + " cases in '" +
                                        options->executable + "')");
  }
  return runCases(*options, *session, launcher, selected, start);
}
