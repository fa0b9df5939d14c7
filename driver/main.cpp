// vesk-run: the build driver for harness executables. It reads the command line, opens a session
// with the executable's servers, lists or runs the selected cases, reports, and chooses the exit
// status (0 all good, 1 a bad case, 2 a usage or protocol problem).
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <vesk/log.hpp>
#include "options.hpp"
#include "report.hpp"
#include "session.hpp"
#include "stderr_lock.hpp"

namespace {

using namespace vesk::driver;

constexpr int USAGE_OR_PROTOCOL = 2;

int complain(std::string_view message) {
  vesk::LockedStderr locked;
  locked.out.put("vesk-run: ").put(message).put("\n");
  return USAGE_OR_PROTOCOL;
}

// Ends the driver for a failure of the session, after every server is gone: by the signal that
// interrupted it, as an interrupted program is expected to end, or with status 2.
int endWith(const Failure& failure, std::optional<Session>& session) {
  session.reset();
  if (failure.signal == 0) return complain(failure.message);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(failure.signal, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, failure.signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  (void)::raise(failure.signal);  // should it return, the status says the same
  return 128 + failure.signal;
}

std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
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
    if (const auto usable = checkJunitPath(options->junit_path); !usable)
      return complain(usable.error());
  }

  const Clock::time_point start = Clock::now();
  std::optional<Session> session;
  {
    auto opened = Session::open(options->executable);
    if (!opened) return endWith(opened.error(), session);
    session.emplace(std::move(*opened));
  }
  const std::vector<std::string>& names = session->names();
  const std::vector<std::uint32_t> selected = selectCases(*options, names);
  const bool filtered = !options->filters.empty() || !options->excludes.empty();

  if (options->list && (!selected.empty() || !filtered)) {
    session->close();
    vesk::Writer out(STDOUT_FILENO);
    for (std::uint32_t index : selected)
      out.put(names[index]).put('\n');
    return 0;
  }
  if (selected.empty()) {
    session->close();
    return complain(names.empty() ? "'" + options->executable + "' has no cases"
                                  : "no case matches the --filter and --exclude patterns (" +
                                        std::to_string(names.size()) + " cases in '" +
                                        options->executable + "')");
  }

  std::vector<CaseResult> results;
  double seconds = 0;
  {
    Reporter reporter(names, selected, options->verbose);
    auto ran =
        session->run(selected, options->jobs, options->timeout_seconds.value_or(0), reporter);
    if (!ran) {
      reporter.abandon();  // the display is erased before the message
      return endWith(ran.error(), session);
    }
    results = std::move(*ran);
    session->close();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    reporter.finish(results, seconds);
  }

  if (!options->junit_path.empty()) {
    const auto written =
        writeJunit(options->junit_path, baseName(options->executable), names, results, seconds);
    if (!written) return complain(written.error());
  }
  for (const CaseResult& result : results) {
    if (!isClean(result)) return 1;
  }
  return 0;
}
