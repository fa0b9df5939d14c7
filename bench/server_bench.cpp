// Round trip of one `run_test` request for a passing case through pipes, beside a program that
// only echoes 16-byte messages over the same kind of pipes. The ratio of the two is what the
// build-driver mode adds on top of the pipe traffic itself; it is printed after the table.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

extern char** environ;

namespace {

// A child process on the other end of two pipes.
class Peer {
 public:
  Peer(const char* path, bool listen) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const char* argv[] = {path, listen ? "--listen=-" : nullptr, nullptr};
    if (::posix_spawn(&pid_, path, &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      std::abort();
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }

  ~Peer() {
    ::close(in_);  // both peers end when their input ends
    ::close(out_);
    ::waitpid(pid_, nullptr, 0);
  }

  void send(const char* data, std::size_t len) {
    while (len > 0) {
      const ssize_t n = ::write(in_, data, len);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) std::abort();
      data += n;
      len -= static_cast<std::size_t>(n);
    }
  }

  void receive(char* data, std::size_t len) {
    while (len > 0) {
      const ssize_t n = ::read(out_, data, len);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) std::abort();
      data += n;
      len -= static_cast<std::size_t>(n);
    }
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

void BM_EchoRoundTrip(benchmark::State& state) {
  Peer echo(VESK_BENCH_ECHO, false);
  std::array<char, 16> message{};
  std::array<char, 16> reply{};
  for (auto _ : state) {
    echo.send(message.data(), message.size());
    echo.receive(reply.data(), reply.size());
  }
  if (reply != message) state.SkipWithError("the echo changed the message");
}
BENCHMARK(BM_EchoRoundTrip)->UseRealTime();

void BM_RunTestRoundTrip(benchmark::State& state) {
  Peer server(VESK_BENCH_PEER, true);
  std::array<char, 14> version{};
  server.receive(version.data(), version.size());
  const std::array<char, 12> request = {5, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
  std::array<char, 16> reply{};
  for (auto _ : state) {
    server.send(request.data(), request.size());
    server.receive(reply.data(), reply.size());
  }
  const std::array<char, 16> passed = {4, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (reply != passed) state.SkipWithError("the reply is not that of a passing case");
}
BENCHMARK(BM_RunTestRoundTrip)->UseRealTime();

// Prints the table as usual and remembers each benchmark's time per round trip for the ratio: the
// mean over repetitions when there are several, otherwise the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
      if (mean || (run.run_type == Run::RT_Iteration && !means_.contains(name(run)))) {
        nanoseconds[name(run)] =
            run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        if (mean) means_.insert(name(run));
      }
    }
  }

  std::map<std::string, double> nanoseconds;

 private:
  static std::string name(const Run& run) { return run.run_name.function_name; }
  std::set<std::string> means_;
};

}  // namespace

int main(int argc, char** argv) {
  (void)::signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal number
  benchmark::Initialize(&argc, argv);
  // Colour only on a terminal, so that saved output stays plain text.
  RatioReporter reporter(::isatty(STDOUT_FILENO) == 1 ? benchmark::ConsoleReporter::OO_ColorTabular
                                                      : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto echo = reporter.nanoseconds.find("BM_EchoRoundTrip");
  const auto server = reporter.nanoseconds.find("BM_RunTestRoundTrip");
  if (echo != reporter.nanoseconds.end() && server != reporter.nanoseconds.end() &&
      echo->second > 0) {
    std::printf("run_test round trip / echo round trip: %.2f (%.0f ns / %.0f ns)\n",
                server->second / echo->second, server->second, echo->second);
  }
  benchmark::Shutdown();
  return 0;
}
