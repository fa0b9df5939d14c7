// vesk-run in-process: its command line and case patterns on strings, and its scheduler, session
// and reporting against stand-in servers driven by the test.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "junit.hpp"
#include "messages.hpp"
#include "options.hpp"
#include "partition.hpp"
#include "run_order.hpp"
#include "scheduler.hpp"
#include "session.hpp"
#include "tap.hpp"

namespace {

using vesk::globEscape;
using vesk::globMatch;
using vesk::driver::Options;
using vesk::driver::parseOptions;

TEST(Glob, MatchesWholeNamesWithStarsQuestionMarksAndEscapes) {
  EXPECT_TRUE(globMatch("vesk_*.test.*", "vesk_ecs.test.ECS: World findNearest"));
  EXPECT_FALSE(globMatch("vesk_*.test", "vesk_ecs.test.ECS"));  // the whole name
  EXPECT_TRUE(globMatch("*a*b*c", "xxaxxbxxbcxc"));             // stars give back what they took
  EXPECT_FALSE(globMatch("*a*b*c", "xxaxxbxxbx"));
  EXPECT_TRUE(globMatch("", ""));
  EXPECT_TRUE(globMatch("**", ""));
  // `?` is one character, not one byte.
  EXPECT_TRUE(globMatch("normalizeDet ? det ? 1", "normalizeDet → det ≈ 1"));
  EXPECT_FALSE(globMatch("S??", "S³"));
  // An escaped glob character matches only itself; an exact name always selects itself alone.
  EXPECT_FALSE(globMatch("what\\?", "whatx"));
  EXPECT_TRUE(globMatch("what\\?", "what?"));
  for (const std::string name : {"a*b?c\\d", "plain (name): ε", "\\", "*", "trailing\\"}) {
    EXPECT_TRUE(globMatch(globEscape(name), name)) << name;
    EXPECT_FALSE(globMatch(globEscape(name), name + "x")) << name;
  }
  EXPECT_FALSE(globMatch(globEscape("a*"), "abc"));
}

TEST(Partition, ReadsBothKindsAndRefusesMalformedValues) {
  using vesk::driver::parsePartition;
  using vesk::driver::Partition;
  const auto hash = parsePartition("hash:3/7");
  ASSERT_TRUE(hash.has_value()) << hash.error();
  EXPECT_EQ(hash->kind, Partition::Kind::hash);
  EXPECT_EQ(hash->number, 3u);
  EXPECT_EQ(hash->total, 7u);
  EXPECT_EQ(vesk::driver::partitionText(*hash), "hash:3/7");
  EXPECT_EQ(vesk::driver::partitionText(parsePartition("count:1/1").value()), "count:1/1");
  for (const char* bad :
       {"count:0/3", "count:4/3", "count:1/0", "count:1", "count:/3", "count:1/", "count:1/3x",
        "count:-1/3", "count:1/99999999999", "mod:1/2", "1/2", "", "Count:1/2", "count: 1/2"}) {
    EXPECT_FALSE(parsePartition(bad).has_value()) << bad;
  }
  EXPECT_EQ(parsePartition("count:4/3").error(),
            "invalid partition 'count:4/3': M must not exceed N");
  const auto options = parseOptions(std::vector<std::string_view>{"--partition=hash:1/2", "e"}, 1);
  ASSERT_TRUE(options.has_value());
  const std::optional<Partition>& partition = options->partition;
  ASSERT_TRUE(partition.has_value());
  if (partition) {  // checked again for clang-tidy, which does not read ASSERT_TRUE
    EXPECT_EQ(partition->kind, Partition::Kind::hash);
  }
  EXPECT_FALSE(parseOptions(std::vector<std::string_view>{"--partition", "e"}, 1).has_value());
}

TEST(Partition, HashesNamesStablySoThatANewCaseMovesNoOther) {
  using vesk::driver::caseNameHash;
  using vesk::driver::Partition;
  // FNV-1a 64 followed by the splitmix64 finaliser, computed independently.
  EXPECT_EQ(caseNameHash(""), 0xf52a15e9a9b5e89bu);
  EXPECT_EQ(caseNameHash("a"), 0x02c0bdbf481420f8u);
  EXPECT_EQ(caseNameHash("vesk_kernel.test.PGL4: determinant"), 0x14958bbd73587664u);

  std::vector<std::string> names(200);
  for (std::size_t i = 0; i < names.size(); ++i)
    names[i] = "suite.test.case " + std::to_string(i);
  std::vector<std::uint32_t> all(names.size());
  for (std::uint32_t i = 0; i < all.size(); ++i)
    all[i] = i;
  const std::vector<std::uint32_t> without_last(all.begin(), all.end() - 1);
  for (const Partition::Kind kind : {Partition::Kind::count, Partition::Kind::hash}) {
    std::vector<int> seen(names.size(), 0);
    for (std::uint32_t m = 1; m <= 5; ++m) {
      const Partition part{kind, m, 5};
      const auto mine = vesk::driver::partitionCases(part, all, names);
      for (const std::uint32_t index : mine)
        ++seen[index];
      // Roughly even: round robin exactly, the hash within a wide margin of 40.
      EXPECT_GE(mine.size(), kind == Partition::Kind::count ? 40u : 20u);
      EXPECT_LE(mine.size(), kind == Partition::Kind::count ? 40u : 60u);
      if (kind == Partition::Kind::hash) {
        // The table without its last case: every other case stays where it was.
        auto before = vesk::driver::partitionCases(part, without_last, names);
        auto after = mine;
        std::erase(after, static_cast<std::uint32_t>(names.size() - 1));
        EXPECT_EQ(before, after) << m;
      } else {
        for (std::size_t k = 0; k < mine.size(); ++k)
          EXPECT_EQ(mine[k], m - 1 + 5 * k);
      }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(names.size()));
  }
}

TEST(RunOrder, RepeatsWholePassesAndShufflesThemTheSameWayForOneSeed) {
  const std::vector<std::uint32_t> selected = {4, 7, 9};
  EXPECT_EQ(vesk::driver::repeatCases(selected, 2), (std::vector<std::uint32_t>{4, 7, 9, 4, 7, 9}));
  std::vector<std::uint32_t> base(50);
  for (std::uint32_t i = 0; i < base.size(); ++i)
    base[i] = i;
  auto first = base, again = base, other = base;
  vesk::driver::shuffleCases(first, 42);
  vesk::driver::shuffleCases(again, 42);
  vesk::driver::shuffleCases(other, 43);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  EXPECT_NE(first, base);
  std::sort(first.begin(), first.end());
  EXPECT_EQ(first, base);  // a permutation
  // The order of a seed is part of the interface: a changed generator would break --seed.
  std::vector<std::uint32_t> small = {0, 1, 2, 3, 4};
  vesk::driver::shuffleCases(small, 1);
  EXPECT_EQ(small, (std::vector<std::uint32_t>{2, 1, 4, 3, 0}));  // computed apart from this code
  // Every position is reached: each of 3 elements lands first about a third of 3000 times.
  std::vector<int> firsts(3, 0);
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    std::vector<std::uint32_t> three = {0, 1, 2};
    vesk::driver::shuffleCases(three, seed);
    ++firsts[three[0]];
  }
  for (const int count : firsts)
    EXPECT_NEAR(count, 1000, 150);
}

TEST(Tap, EscapesDirectivesInNamesAndControlCharactersInDiagnostics) {
  vesk::driver::CaseResult result;
  result.outcome = vesk::driver::Outcome::crashed;
  result.end_message = "thread 7 panic: \"bad\" \\ value";
  result.output = "line\tone\nbell\x07 caf\xc3\xa9\x7f";
  result.seconds = 0.0015;
  std::string out;
  vesk::driver::appendTapPoint(out, 4, "suite.test.case # SKIP \\ not", result, false);
  EXPECT_EQ(out,
            "not ok 4 - suite.test.case \\# SKIP \\\\ not\n"
            "  ---\n"
            "  message: \"thread 7 panic: \\\"bad\\\" \\\\ value\"\n"
            "  outcome: crashed\n  leaked: false\n  errors_logged: 0\n  duration_ms: 1.500\n"
            "  output: \"line\\tone\\nbell\\x07 caf\xc3\xa9\\x7f\"\n"
            "  ...\n");
  // A clean case has no block unless asked; a skip carries the directive.
  result.outcome = vesk::driver::Outcome::skipped;
  out.clear();
  vesk::driver::appendTapPoint(out, 1, "s.test.later", result, false);
  EXPECT_EQ(out, "ok 1 - s.test.later # SKIP\n");
}

TEST(Options, ReadsEveryFormOfEachOption) {
  const std::vector<std::string_view> args = {"-j4",       "--filter", "a*", "--exclude=b",
                                              "--timeout", "2.5",      "-v", "--junit=r.xml",
                                              "--list",    "exe"};
  const auto options = parseOptions(args, 2);
  ASSERT_TRUE(options.has_value()) << options.error();
  EXPECT_EQ(options->jobs, 4u);
  EXPECT_EQ(options->filters, std::vector<std::string>{"a*"});
  EXPECT_EQ(options->excludes, std::vector<std::string>{"b"});
  EXPECT_EQ(options->timeout_seconds, 2.5);
  EXPECT_TRUE(options->verbose && options->list);
  EXPECT_EQ(options->junit_path, "r.xml");
  EXPECT_EQ(options->executable, "exe");

  const std::vector<std::string_view> spaced = {"-j", "3", "--", "-odd-name"};
  EXPECT_EQ(parseOptions(spaced, 2)->jobs, 3u);
  EXPECT_EQ(parseOptions(spaced, 2)->executable, "-odd-name");
  const std::vector<std::string_view> jobs = {"--jobs", "5", "exe"};
  EXPECT_EQ(parseOptions(jobs, 2)->jobs, 5u);
  EXPECT_EQ(parseOptions(std::vector<std::string_view>{"exe"}, 7)->jobs, 7u);

  const std::vector<std::string_view> runs = {"--repeat=3",  "--seed",     "18446744073709551615",
                                              "--fail-fast", "--max-fail", "4",
                                              "--slow=off",  "exe"};
  const auto flaky = parseOptions(runs, 2);
  ASSERT_TRUE(flaky.has_value()) << flaky.error();
  EXPECT_EQ(flaky->repeat, 3u);
  EXPECT_TRUE(flaky->shuffle);
  EXPECT_EQ(flaky->seed, UINT64_MAX);
  EXPECT_EQ(flaky->max_fail, 4u);  // the last of --fail-fast and --max-fail counts
  EXPECT_EQ(flaky->slow_seconds, 0.0);
  EXPECT_EQ(parseOptions(std::vector<std::string_view>{"--slow", "0.25", "exe"}, 1)->slow_seconds,
            0.25);

  for (const std::vector<std::string_view>& bad : {std::vector<std::string_view>{"-j", "exe"},
                                                   {"--repeat", "0", "exe"},
                                                   {"--seed", "-1", "exe"},
                                                   {"--seed", "18446744073709551616", "exe"},
                                                   {"--max-fail", "0", "exe"},
                                                   {"--slow", "-1", "exe"},
                                                   {"--timeout", "0", "exe"},
                                                   {"--timeout", "nan", "exe"},
                                                   {"--filter"},
                                                   {"a", "b"},
                                                   {"--junit=", "exe"}}) {
    EXPECT_FALSE(parseOptions(bad, 2).has_value()) << bad.front();
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The scheduler and the session against stand-in servers: pipes whose far ends the test holds,
// written as a server would write them.

namespace {

using vesk::driver::BoundedOutput;
using vesk::driver::CaseResult;
using vesk::driver::Clock;
using vesk::driver::Outcome;
using vesk::driver::RunPlan;
using vesk::driver::Scheduler;
using vesk::driver::ServerEnd;
using vesk::driver::ServerProcess;
using vesk::driver::Session;

void appendU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<char>(value >> (8 * i)));
}

std::string message(std::uint32_t tag, const std::string& body) {
  std::string out;
  appendU32(out, tag);
  appendU32(out, static_cast<std::uint32_t>(body.size()));
  return out + body;
}

std::string versionMessage() {
  return message(0, std::string(vesk::TOOLCHAIN_VERSION));
}

std::string tableMessage(const std::vector<std::string>& names) {
  std::string strings(1, '\0'), offsets, stops;
  for (const std::string& name : names) {
    appendU32(offsets, static_cast<std::uint32_t>(strings.size()));
    appendU32(stops, 0);
    strings += name + '\0';
  }
  std::string body;
  appendU32(body, static_cast<std::uint32_t>(strings.size()));
  appendU32(body, static_cast<std::uint32_t>(names.size()));
  return message(3, body + offsets + stops + strings);
}

std::string resultMessage(std::uint32_t index, std::uint32_t flags) {
  std::string body;
  appendU32(body, index);
  appendU32(body, flags);
  return message(4, body);
}

// The test's ends of one stand-in server's pipes.
struct FakeServer {
  int requests = -1;  // what the driver sends
  int replies = -1;
  int errors = -1;
  int end = -1;  // closed: the server has ended
  ServerEnd how{-1, SIGKILL};
  bool ended = false;

  void reply(const std::string& bytes) const {
    ASSERT_EQ(::write(replies, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void print(const std::string& text) const {
    ASSERT_EQ(::write(errors, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Ends the server as a process would: its pipes close and its end is seen.
  void exit(ServerEnd end_as) {
    how = end_as;
    ended = true;
    for (int* fd : {&replies, &errors, &end}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }
  // The requests sent so far, as bytes.
  std::string takeRequests() const {
    std::string got;
    char buf[256];
    for (ssize_t n; (n = ::read(requests, buf, sizeof buf)) > 0;)
      got.append(buf, static_cast<std::size_t>(n));
    return got;
  }
};

class FakeLauncher final : public vesk::driver::ServerLauncher {
 public:
  ~FakeLauncher() override {
    for (FakeServer& server : servers) {
      server.exit(server.how);
      ::close(server.requests);
    }
  }
  std::expected<ServerProcess, std::string> start() override {
    int in[2], out[2], err[2], end[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0 || ::pipe(end) != 0) std::abort();
    for (int fd : {in[0], out[0], err[0]})
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
    servers.push_back({in[0], out[1], err[1], end[1]});
    if (script) script(servers.back(), servers.size() - 1);
    return ServerProcess{static_cast<pid_t>(servers.size()), in[1], out[0], err[0], end[0]};
  }
  ServerEnd kill(ServerProcess& process) noexcept override {
    if (process.pid < 0) return {};
    FakeServer& server = servers[static_cast<std::size_t>(process.pid) - 1];
    if (!server.ended) server.exit({-1, SIGKILL});
    process.pid = -1;
    return server.how;
  }
  std::optional<ServerEnd> reap(ServerProcess& process) noexcept override {
    if (process.pid < 0) return ServerEnd{};
    FakeServer& server = servers[static_cast<std::size_t>(process.pid) - 1];
    if (!server.ended) return std::nullopt;
    process.pid = -1;
    return server.how;
  }
  int stopped(const ServerProcess&) noexcept override { return 0; }

  std::vector<FakeServer> servers;
  // Writes what a freshly started server sends of its own accord.
  std::function<void(FakeServer&, std::size_t)> script;
};

// Records what the scheduler announces.
struct Recorder final : vesk::driver::CaseEvents {
  void caseStarted(std::size_t slot) override { started.push_back(slot); }
  void caseFinished(const CaseResult& result) override { finished.push_back(result); }
  void caseRevised(const CaseResult& result) override { revised.push_back(result); }
  void caseSlow(std::size_t slot, double seconds) override { slow.emplace_back(slot, seconds); }
  Clock::time_point tick(Clock::time_point) override { return Clock::time_point::max(); }
  std::vector<std::size_t> started;
  std::vector<CaseResult> finished;
  std::vector<CaseResult> revised;
  std::vector<std::pair<std::size_t, double>> slow;
};

const std::vector<std::string> NAMES = {"t.test.a", "t.test.b", "t.test.c"};
const std::vector<std::uint32_t> ALL = {0, 1, 2};

// Opens a session on a stand-in server that sends its version and the table at once.
Session openOn(FakeLauncher& launcher) {
  launcher.script = [](FakeServer& server, std::size_t) {
    server.reply(versionMessage());
    server.reply(tableMessage(NAMES));
  };
  auto session = Session::open(launcher, "fake");
  if (!session) ADD_FAILURE() << session.error().message;
  // Servers started later send only their version.
  launcher.script = [](FakeServer& server, std::size_t) { server.reply(versionMessage()); };
  return std::move(*session);
}

void turnUntil(Scheduler& scheduler, const std::function<bool()>& done) {
  for (int turns = 0; turns < 50 && !done(); ++turns)
    ASSERT_TRUE(scheduler.turn());
  ASSERT_TRUE(done());
}

TEST(Scheduler, HandsOutCasesOneAtATimeAndGivesEachTheOutputWrittenBeforeItsReply) {
  FakeLauncher launcher;
  Session session = openOn(launcher);
  EXPECT_EQ(session.names(), NAMES);
  EXPECT_EQ(launcher.servers[0].takeRequests(), message(4, ""));  // the table request
  Recorder events;
  Scheduler scheduler(RunPlan{"fake", NAMES, ALL, 1}, launcher, events);
  scheduler.adopt(session.takeServer());
  scheduler.start();
  FakeServer& server = launcher.servers[0];
  const std::string run_a = message(5, std::string("\0\0\0\0", 4));
  EXPECT_EQ(server.takeRequests(), run_a);  // one request in flight, not three
  server.print("output of a\n");
  server.reply(resultMessage(0, 0));
  turnUntil(scheduler, [&] { return events.finished.size() == 1; });
  server.print("output of b\n");
  server.reply(resultMessage(1, vesk::RESULT_FAIL | vesk::RESULT_LEAK | 2u << 3));
  turnUntil(scheduler, [&] { return events.finished.size() == 2; });
  server.reply(resultMessage(2, vesk::RESULT_SKIP));
  turnUntil(scheduler, [&] { return scheduler.done(); });

  const std::vector<CaseResult>& got = events.finished;
  EXPECT_EQ(got[0].outcome, Outcome::passed);
  EXPECT_EQ(got[0].output, "output of a\n");
  EXPECT_EQ(got[1].outcome, Outcome::failed);
  EXPECT_TRUE(got[1].leaked);
  EXPECT_EQ(got[1].log_errors, 2u);
  EXPECT_EQ(got[1].output, "output of b\n");
  EXPECT_EQ(got[2].outcome, Outcome::skipped);
  EXPECT_EQ(events.started, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(launcher.servers.size(), 1u);

  scheduler.shutDown();
  EXPECT_EQ(server.takeRequests(), message(5, std::string("\1\0\0\0", 4)) +
                                       message(5, std::string("\2\0\0\0", 4)) + message(0, ""));
  server.exit({0, 0});
  turnUntil(scheduler, [&] { return scheduler.done(); });
  EXPECT_TRUE(scheduler.end().exit_problems.empty());
}

TEST(Scheduler, ACaseThatEndsItsServerIsACrashAndAFreshServerTakesTheRest) {
  FakeLauncher launcher;
  Session session = openOn(launcher);
  Recorder events;
  Scheduler scheduler(RunPlan{"fake", NAMES, ALL, 1}, launcher, events);
  scheduler.adopt(session.takeServer());
  scheduler.start();
  launcher.servers[0].print("Segmentation fault at address 0x10\ntrace lines\n");
  launcher.servers[0].exit({-1, SIGSEGV});
  turnUntil(scheduler, [&] { return events.finished.size() == 1; });
  EXPECT_EQ(events.finished[0].outcome, Outcome::crashed);
  EXPECT_EQ(events.finished[0].end_message, "Segmentation fault at address 0x10");
  EXPECT_EQ(events.finished[0].output, "Segmentation fault at address 0x10\ntrace lines\n");

  // Without a report, how the server ended names the crash; a reply for another case is a
  // broken protocol, which costs the running case alone.
  ASSERT_EQ(launcher.servers.size(), 2u);
  launcher.servers[1].exit({-1, SIGKILL});
  turnUntil(scheduler, [&] { return events.finished.size() == 2; });
  EXPECT_EQ(events.finished[1].end_message, "the server ended by SIGKILL");
  ASSERT_EQ(launcher.servers.size(), 3u);
  launcher.servers[2].reply(resultMessage(7, 0));
  turnUntil(scheduler, [&] { return events.finished.size() == 3; });
  EXPECT_EQ(events.finished[2].outcome, Outcome::crashed);
  EXPECT_EQ(
      events.finished[2].end_message,
      "the server broke the protocol: it replied with the result of case index 7 instead of 2");
  EXPECT_TRUE(scheduler.done());
}

TEST(Scheduler, BytesAfterTheLastReplyReviseTheCaseThatServerRanAndABadExitIsReported) {
  FakeLauncher launcher;
  Session session = openOn(launcher);
  Recorder events;
  const std::vector<std::uint32_t> one = {1};
  Scheduler scheduler(RunPlan{"fake", NAMES, one, 1}, launcher, events);
  scheduler.adopt(session.takeServer());
  scheduler.start();
  launcher.servers[0].reply(resultMessage(1, 0));
  turnUntil(scheduler, [&] { return scheduler.done(); });
  EXPECT_EQ(events.finished.at(0).outcome, Outcome::passed);
  launcher.servers[0].reply(resultMessage(1, 0));  // a forked copy of the server answering too
  turnUntil(scheduler, [&] { return events.revised.size() == 1; });
  EXPECT_EQ(events.revised[0].outcome, Outcome::crashed);
  EXPECT_NE(events.revised[0].end_message.find("after the case's result"), std::string::npos);

  // A second run: its server ends badly after the exit request.
  FakeLauncher second;
  Session again = openOn(second);
  Recorder quiet;
  Scheduler run(RunPlan{"fake", NAMES, one, 1}, second, quiet);
  run.adopt(again.takeServer());
  run.start();
  second.servers[0].reply(resultMessage(1, 0));
  turnUntil(run, [&] { return run.done(); });
  run.shutDown();
  second.servers[0].print("leak report\n");
  second.servers[0].exit({3, 0});
  turnUntil(run, [&] { return run.done(); });
  const auto problems = run.end().exit_problems;
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].message, "a server exited with status 3 after the exit request");
  EXPECT_EQ(problems[0].output, "leak report\n");
}

TEST(Scheduler, IsolatedCasesEachGetAFreshServerAndTimedOutOnesAreKilled) {
  FakeLauncher launcher;
  Session session = openOn(launcher);
  Recorder events;
  RunPlan plan{"fake", NAMES, ALL, 1};
  plan.isolate = true;
  plan.timeout_seconds = 0.05;
  Scheduler scheduler(plan, launcher, events);
  scheduler.adopt(session.takeServer());
  scheduler.start();
  launcher.servers[0].reply(resultMessage(0, 0));
  turnUntil(scheduler, [&] { return launcher.servers.size() == 2; });
  EXPECT_EQ(launcher.servers[0].takeRequests().substr(20), message(0, ""));  // then asked to exit
  launcher.servers[0].exit({0, 0});
  launcher.servers[1].reply(resultMessage(1, 0));
  turnUntil(scheduler, [&] { return events.finished.size() == 3; });  // the third never replies
  EXPECT_EQ(launcher.servers.size(), 3u);
  EXPECT_EQ(events.finished[2].outcome, Outcome::timed_out);
  EXPECT_EQ(events.finished[2].end_message, "timed out after 0.05 s");
  EXPECT_TRUE(launcher.servers[2].ended);
}

TEST(Scheduler, ARetryIsNotYetAFailureAndAtTheLimitTheWaitingCasesAreNotRun) {
  FakeLauncher launcher;
  Session session = openOn(launcher);
  Recorder events;
  RunPlan plan{"fake", NAMES, ALL, 1};
  plan.retries = 1;
  plan.max_fail = 1;
  plan.slow_seconds = 0.05;
  Scheduler scheduler(plan, launcher, events);
  scheduler.adopt(session.takeServer());
  scheduler.start();
  launcher.servers[0].reply(resultMessage(0, vesk::RESULT_FAIL));
  turnUntil(scheduler, [&] { return launcher.servers.size() == 2; });
  EXPECT_TRUE(events.finished.empty());
  // The retry runs past two slow periods, each told once, counted from its own start.
  turnUntil(scheduler, [&] { return events.slow.size() == 2; });
  EXPECT_EQ(events.slow[0], std::make_pair(std::size_t{0}, 0.05));
  EXPECT_EQ(events.slow[1], std::make_pair(std::size_t{0}, 0.1));
  launcher.servers[1].reply(resultMessage(0, vesk::RESULT_FAIL));
  turnUntil(scheduler, [&] { return scheduler.done(); });
  ASSERT_EQ(events.finished.size(), 1u);
  EXPECT_EQ(events.finished[0].outcome, Outcome::failed);
  EXPECT_EQ(events.finished[0].earlier_tries.size(), 1u);
  EXPECT_EQ(events.started, (std::vector<std::size_t>{0, 0}));
  const auto results = scheduler.end().results;
  EXPECT_EQ(results[1].outcome, Outcome::not_run);
  EXPECT_EQ(results[2].outcome, Outcome::not_run);
  EXPECT_EQ(launcher.servers[1].takeRequests(), message(5, std::string("\0\0\0\0", 4)));
}

// A token as vesk-run makes them, and its markers spelled out byte by byte: the case took
// `nanoseconds` by its server's clock.
constexpr std::string_view TOKEN = "0123456789abcdef0123456789abcdef";
std::string markerOf(std::uint64_t sequence, std::uint64_t nanoseconds = 1000) {
  return "\x1fvesk-case-end:" + std::string(TOKEN) + ":" + std::to_string(sequence) + ":" +
         std::to_string(nanoseconds) + "\x1f";
}

std::string runRequest(char index) {
  return message(5, std::string(1, index) + std::string(3, '\0'));
}

TEST(CaseOutputs, CutsAtMarkersSplitAnywhereAndKeepsWhatOnlyLooksLikeOne) {
  using vesk::driver::CaseOutputs;
  const std::string prefix = "\x1fvesk-case-end:" + std::string(TOKEN) + ":";
  // Not markers: out of turn, a longer number, another token, a cut-off one, and the right
  // sequence with no time, a time that is not a number, one of 21 digits and one past 2^64.
  const std::string lookalikes = prefix + "3:5\x1f" + prefix + "20:5\x1f" +
                                 "\x1fvesk-case-end:" + std::string(TOKEN.substr(1)) + "x:2:5\x1f" +
                                 prefix + "\n" + prefix + "2:\x1f" + prefix + "2:12x\x1f" + prefix +
                                 "2:" + std::string(21, '1') + "\x1f" + prefix +
                                 "2:99999999999999999999\x1f";
  const std::string stream = "one\n\x1f" + markerOf(1, 1500) + lookalikes +
                             markerOf(2, 18446744073709551615u) + "open " + prefix.substr(0, 9);
  const auto check = [&](CaseOutputs& outputs, const std::string& at) {
    ASSERT_TRUE(outputs.hasEnded()) << at;
    const vesk::driver::EndedOutput first = outputs.takeEnded();
    EXPECT_EQ(first.text, "one\n\x1f") << at;
    EXPECT_EQ(first.seconds, 1.5e-6) << at;
    ASSERT_TRUE(outputs.hasEnded()) << at;
    const vesk::driver::EndedOutput second = outputs.takeEnded();
    EXPECT_EQ(second.text, lookalikes) << at;
    EXPECT_EQ(second.seconds, 18446744073709551615.0 / 1e9) << at;
    EXPECT_FALSE(outputs.hasEnded()) << at;
    // The start of a marker is held back, not lost: it is open output until more arrives.
    EXPECT_EQ(outputs.text(), "open " + prefix.substr(0, 9)) << at;
    outputs.append("y");
    EXPECT_EQ(outputs.take(), "open " + prefix.substr(0, 9) + "y") << at;
  };
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    CaseOutputs outputs(1024);
    outputs.cutAt(vesk::CaseMarker(TOKEN));
    outputs.append(stream.substr(0, split));
    EXPECT_EQ(outputs.hasEnded(), split >= 5 + markerOf(1).size()) << split;
    outputs.append(stream.substr(split));
    check(outputs, "split at " + std::to_string(split));
  }
  CaseOutputs bytewise(1024);
  bytewise.cutAt(vesk::CaseMarker(TOKEN));
  for (const char c : stream)
    bytewise.append(std::string_view(&c, 1));
  check(bytewise, "byte by byte");
}

RunPlan markedPlan() {
  RunPlan plan{"fake", NAMES, ALL, 1};
  plan.case_marker = TOKEN;
  return plan;
}

// A run whose servers are asked for markers, on a stand-in server that has sent its table.
struct MarkedRun {
  FakeLauncher launcher;
  Recorder events;
  Session session = openOn(launcher);
  Scheduler scheduler{markedPlan(), launcher, events};

  MarkedRun() {
    (void)launcher.servers[0].takeRequests();  // the table request
    scheduler.adopt(session.takeServer());
    scheduler.start();
  }
  void finishes(std::size_t count) {
    turnUntil(scheduler, [&] { return events.finished.size() == count; });
  }
};

TEST(Scheduler, AServerThatWritesNoMarkerWithItsFirstResultGetsOneRequestAtATime) {
  MarkedRun run;
  FakeServer& server = run.launcher.servers[0];
  EXPECT_EQ(server.takeRequests(), runRequest(0));  // a server's first case goes alone
  server.print("output of a\n");
  server.reply(resultMessage(0, 0));
  run.finishes(1);
  EXPECT_EQ(server.takeRequests(), runRequest(1));
  server.print("output of b\n");
  EXPECT_EQ(server.takeRequests(), "");  // nothing more until b's result
  server.reply(resultMessage(1, 0));
  run.finishes(2);
  EXPECT_EQ(server.takeRequests(), runRequest(2));
  server.reply(resultMessage(2, 0));
  run.finishes(3);
  EXPECT_EQ(run.events.finished[0].output, "output of a\n");
  EXPECT_EQ(run.events.finished[1].output, "output of b\n");
  EXPECT_EQ(run.events.finished[2].output, "");
}

TEST(Scheduler, AResultWithoutItsMarkerFromAServerThatWritesThemBreaksTheProtocol) {
  MarkedRun run;
  FakeServer& server = run.launcher.servers[0];
  // The case's time is its server's, however late its result was read.
  server.print("output of a\n" + markerOf(1, 2'500'000'000));
  server.reply(resultMessage(0, 0));
  run.finishes(1);
  EXPECT_EQ(run.events.finished[0].seconds, 2.5);
  server.print("output of b\n");
  server.reply(resultMessage(1, 0));
  run.finishes(2);
  const std::vector<CaseResult>& got = run.events.finished;
  EXPECT_EQ(got[0].outcome, Outcome::passed);
  EXPECT_EQ(got[0].output, "output of a\n");
  EXPECT_EQ(got[1].outcome, Outcome::crashed);
  EXPECT_EQ(got[1].end_message,
            "the server broke the protocol: it sent the result of 't.test.b' without the marker "
            "that ends its output");
  EXPECT_EQ(got[1].output, "output of b\n");
  // Case c, sent behind b or not, runs on a fresh server, whose markers count from 1 again.
  ASSERT_EQ(run.launcher.servers.size(), 2u);
  FakeServer& fresh = run.launcher.servers[1];
  EXPECT_EQ(fresh.takeRequests(), runRequest(2));
  fresh.print("output of c\n" + markerOf(1));
  fresh.reply(resultMessage(2, 0));
  run.finishes(3);
  EXPECT_EQ(got[2].outcome, Outcome::passed);
  EXPECT_EQ(got[2].output, "output of c\n");
}

// A case may raise the size of its standard error's pipe (or the machine's pages make pipes
// large): its result can then arrive with more before its marker than one read of standard error
// takes, and the server must still be seen to mark its cases.
TEST(Scheduler, AMarkerBehindMoreOutputThanOneReadTakesStillEndsItsCasesOutput) {
  MarkedRun run;
  FakeServer& server = run.launcher.servers[0];
  ASSERT_GE(::fcntl(server.errors, F_SETPIPE_SZ, 1 << 20), 1 << 20);
  const std::string first = "start\n" + std::string(std::size_t{900} * 1024, 'x') + "end\n";
  server.print(first + markerOf(1) + "output of b\n" + markerOf(2));
  server.reply(resultMessage(0, 0) + resultMessage(1, 0));
  run.finishes(2);
  const std::size_t keep = vesk::driver::DEFAULT_OUTPUT_KEEP;
  const std::string expected = first.substr(0, keep) +
                               "\n[vesk-run: " + std::to_string(first.size() - 2 * keep) +
                               " bytes of output left out]\n" + first.substr(first.size() - keep);
  const std::string& got = run.events.finished[0].output;
  EXPECT_TRUE(got == expected) << got.size() << " bytes, not " << expected.size() << ": "
                               << got.substr(keep, 60);
  EXPECT_EQ(run.events.finished[1].outcome, Outcome::passed);
  EXPECT_EQ(run.events.finished[1].output, "output of b\n");
}

// ---------------------------------------------------------------------------------------------
// Bounded output, names, JUnit

TEST(BoundedOutput, KeepsBothEndsExactlyAndCountsWhatLayBetween) {
  std::mt19937 random(7);
  for (const std::size_t keep : {1u, 5u, 64u}) {
    BoundedOutput output(keep);
    std::string all;
    for (int piece = 0; piece < 200; ++piece) {
      std::string bytes(random() % (3 * keep + 2), '\0');
      for (char& c : bytes)
        c = static_cast<char>('a' + random() % 26);
      all += bytes;
      output.append(bytes);
    }
    ASSERT_GT(all.size(), 2 * keep);
    const std::size_t left_out = all.size() - 2 * keep;
    EXPECT_EQ(output.leftOut(), left_out);
    EXPECT_EQ(output.take(), all.substr(0, keep) + "\n[vesk-run: " + std::to_string(left_out) +
                                 " bytes of output left out]\n" + all.substr(all.size() - keep));
    EXPECT_TRUE(output.empty());
  }
  BoundedOutput small(64);
  small.append("short\n");
  EXPECT_EQ(small.take(), "short\n");
}

TEST(CaseNames, ATableABuildSystemCannotRegisterIsRefusedNamingTheCases) {
  using vesk::driver::checkNames;
  EXPECT_TRUE(checkNames(NAMES).has_value());
  const std::vector<std::string> twice = {"a", "b", "c", "b"};
  EXPECT_EQ(checkNames(twice).error(), "cases 1 and 3 are both named 'b'");
  const std::vector<std::string> line = {"a", "b\nc"};
  EXPECT_EQ(checkNames(line).error(), "the name of case 1 holds a line end (\"b\\x0ac\")");
  const std::vector<std::string> tab = {"a\tb"};
  EXPECT_NE(checkNames(tab).error().find("case 0 holds a control character"), std::string::npos);
  const std::vector<std::string> unicode = {"naïve → café"};
  EXPECT_TRUE(checkNames(unicode).has_value());
}

TEST(Junit, UnfinishedCasesAreSkippedAsInterruptedAndABadServerExitIsAnErrorOfTheSuite) {
  std::vector<CaseResult> results(3);
  results[0].outcome = Outcome::passed;
  results[1].index = 1;
  results[2] = {2, Outcome::crashed, false, 0, 0.5, "a < b & c\x01", "Segmentation fault", {}};
  const std::vector<vesk::driver::ServerExitProblem> problems = {
      {"a server exited with status 3 after the exit request", "leak report\n"}};
  const std::string xml = vesk::driver::junitReport("suite", NAMES, results, problems, 1.0);
  EXPECT_NE(xml.find("<testsuite name=\"suite\" tests=\"4\" failures=\"0\" errors=\"2\" "
                     "skipped=\"1\""),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("name=\"b\" time=\"0.000000\">\n      <skipped message=\"interrupted\"/>"),
            std::string::npos);
  EXPECT_NE(xml.find("<system-err>a &lt; b &amp; c\xEF\xBF\xBD</system-err>"), std::string::npos);
  EXPECT_NE(xml.find("name=\"server exit\" time=\"0\">\n      <error message=\"a server exited "
                     "with status 3 after the exit request\" type=\"server exit\"/>\n      "
                     "<system-err>leak report\n</system-err>"),
            std::string::npos);
}

}  // namespace
