// vesk-run: the build driver for harness executables. It reads the command line, opens a session
// with the executable's first server, lists or runs the selected cases, reports, and chooses the
// exit status (0 all good, 1 a bad case or server, 2 a usage or protocol problem).
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <vesk/log.hpp>
#include "bazel_env.hpp"
#include "junit.hpp"
#include "options.hpp"
#include "report.hpp"
#include "run_order.hpp"
#include "scheduler.hpp"
#include "session.hpp"
#include "stderr_lock.hpp"
#include "tap.hpp"
#include "waiting.hpp"
#include "writer.hpp"

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
             std::span<const std::uint32_t> selected, std::span<const std::string> report_paths,
             std::string_view case_marker, Clock::time_point start) {
  const std::vector<std::string>& names = session.names();
  // With TAP on standard output, standard error keeps only vesk-run's own messages.
  std::optional<Reporter> text;
  std::optional<TapReporter> tap;
  CaseEvents* events = nullptr;
  if (options.format == Format::tap) {
    events = &tap.emplace(names, selected, options.verbose, STDOUT_FILENO);
  } else {
    events = &text.emplace(names, selected, options.verbose);
  }
  RunEnd end;
  {
    RunPlan plan{options.executable, names, selected, options.jobs};
    plan.timeout_seconds = options.timeout_seconds.value_or(0);
    plan.output_keep = options.output_keep;
    plan.isolate = options.isolate;
    plan.retries = options.retries;
    plan.max_fail = options.max_fail;
    plan.slow_seconds = options.slow_seconds;
    plan.case_marker = case_marker;
    plan.keep_output = !report_paths.empty();
    Scheduler scheduler(plan, launcher, *events);
    scheduler.adopt(session.takeServer());
    end = scheduler.run();
  }  // every server is gone before the summary
  restoreDefaultSignals();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (text) text->abandon();
  printExitProblems(end.exit_problems);
  if (text) text->finish(end.results, seconds);
  if (tap) tap->finish(end.results, end.exit_problems);

  int status = end.exit_problems.empty() ? 0 : BAD_CASE;
  for (const CaseResult& result : end.results) {
    if (finished(result) && !isClean(result)) status = BAD_CASE;
  }
  if (!report_paths.empty()) {
    const std::string report =
        junitReport(baseName(options.executable), names, end.results, end.exit_problems, seconds);
    for (const std::string& path : report_paths) {
      if (const auto written = writeReportFile(path, report); !written)
        status = complain(written.error());
    }
  }
  if (end.signal != 0) return endBySignal(end.signal);
  if (!end.failure.empty()) return complain(end.failure);
  return status;
}

// A partition that holds none of the selected cases passes, saying so, with an empty report.
int runNothing(const Options& options, std::string_view part, std::size_t selected,
               std::span<const std::string> report_paths) {
  const std::string line = "partition " + std::string(part) + " holds none of the " +
                           std::to_string(selected) + " selected cases; nothing to run";
  complain(line);
  if (options.format == Format::tap) {
    const std::string stream = tapNothingToRun(line);
    if (const int failure = vesk::writeAll(STDOUT_FILENO, stream.data(), stream.size());
        failure != 0)
      return complain("cannot write TAP: " + std::string(vesk::errnoName(failure)), BAD_CASE);
  }
  const std::string report = junitReport(baseName(options.executable), {}, {}, {}, 0);
  for (const std::string& path : report_paths) {
    if (const auto written = writeReportFile(path, report); !written)
      return complain(written.error());
  }
  return 0;
}

// The JUnit files to write: --junit's and Bazel's, each once.
std::vector<std::string> reportPaths(const Options& options, const BazelTest& bazel) {
  std::vector<std::string> paths;
  if (!options.junit_path.empty()) paths.push_back(options.junit_path);
  if (!bazel.xml_output_file.empty() && bazel.xml_output_file != options.junit_path)
    paths.push_back(bazel.xml_output_file);
  return paths;
}

// The partition's cases in the order they run: repeated, then shuffled, the seed said on
// standard error (standard output may be TAP) so that the order can be run again.
std::vector<std::uint32_t> runOrder(const Options& options, std::span<const std::uint32_t> part) {
  std::vector<std::uint32_t> order = repeatCases(part, options.repeat);
  if (options.shuffle) {
    const std::uint64_t seed = options.seed.value_or(freshSeed());
    shuffleCases(order, seed);
    complain("shuffling the cases with seed " + std::to_string(seed) + " (--seed " +
                 std::to_string(seed) + " repeats the order)",
             0);
  }
  return order;
}

// The part of `chosen` that --partition and then Bazel's shard leave; `part` names them.
std::vector<std::uint32_t> partitioned(const Options& options, const BazelTest& bazel,
                                       std::span<const std::string> names,
                                       std::vector<std::uint32_t> chosen, std::string& part) {
  if (options.partition) {
    chosen = partitionCases(*options.partition, chosen, names);
    part = partitionText(*options.partition);
  }
  if (bazel.shard) {
    chosen = partitionCases(*bazel.shard, chosen, names);
    part += (part.empty() ? "" : ", ") + partitionText(*bazel.shard) + " (Bazel's shard " +
            std::to_string(bazel.shard->number - 1) + ")";
  }
  return chosen;
}

const char* lookUp(const char* name) {
  return std::getenv(name);
}

}  // namespace

int main(int argc, char** argv) {
  installDriverSignals();
  waitOnTime();
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
  auto options = parseOptions(args, processors > 0 ? static_cast<unsigned>(processors) : 1);
  const auto bazel = readBazelTest(lookUp);
  if (!options || !bazel) {
    complain(options ? bazel.error() : options.error());
    return complain("try 'vesk-run --help'");
  }
  if (options->help) {
    vesk::Writer(STDOUT_FILENO).put(helpText());
    return 0;
  }
  if (!bazel->test_filter.empty()) options->filters.push_back(bazel->test_filter);
  const std::vector<std::string> report_paths =
      options->list ? std::vector<std::string>{} : reportPaths(*options, *bazel);
  // An unusable report path is found now, not after a long run.
  for (const std::string& path : report_paths) {
    if (const auto usable = checkReportPath(path); !usable) return complain(usable.error());
  }
  if (const auto begun = beginBazelTest(*bazel); !begun) return complain(begun.error());

  const Clock::time_point start = Clock::now();
  // Servers that mark their cases' ends are sent requests ahead; with --isolate there is no ahead.
  const std::string case_marker = options->isolate ? "" : askForCaseMarkers();
  ProcessLauncher launcher(options->executable);
  // The servers of a run start together, so that the others' start-up overlaps the first one's
  // handshake; as many as run at once, within the processors (more start as cases need them).
  if (!options->list) {
    launcher.startAhead(std::min<std::size_t>(
        options->jobs, processors > 0 ? static_cast<std::size_t>(processors) : 1));
  }
  auto session = Session::open(launcher, options->executable);
  if (!session) {
    if (session.error().signal != 0) return endBySignal(session.error().signal);
    return complain(session.error().message);
  }
  const std::vector<std::string>& names = session->names();
  const std::vector<std::uint32_t> chosen = selectCases(*options, names);
  const bool filtered = !options->filters.empty() || !options->excludes.empty();
  std::string part;
  const std::vector<std::uint32_t> selected = partitioned(*options, *bazel, names, chosen, part);

  if (chosen.empty() && (filtered || !options->list)) {
    session->close();
    return complain(names.empty() ? "'" + options->executable + "' has no cases"
                                  : "no case matches the --filter and --exclude patterns (" +
                                        std::to_string(names.size()) + " cases in '" +
                                        options->executable + "')");
  }
  int status = 0;
  if (options->list) {
    session->close();
    status = printList(names, selected);
  } else if (selected.empty()) {
    session->close();
    status = runNothing(*options, part, chosen.size(), report_paths);
  } else {
    const std::vector<std::uint32_t> order = runOrder(*options, selected);
    status = runCases(*options, *session, launcher, order, report_paths, case_marker, start);
  }
  // Only a run that reported every case it was given ends cleanly for Bazel.
  if (status == 0 || status == BAD_CASE) {
    if (const auto ended = endBazelTest(*bazel); !ended) return complain(ended.error(), BAD_CASE);
  }
  return status;
}
