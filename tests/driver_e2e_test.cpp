// vesk-run end to end: the driver runs fixture executables and the product as real processes;
// the tests check its report, its JUnit file (parsed), its exit status, and that no server
// outlives it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_process.hpp"

namespace {

using vesk::testing::ProcessOptions;
using vesk::testing::ProcessResult;

const std::string driver = VESK_DRIVER;
const std::string fixtures = VESK_FIXTURE_DIR;
const std::string product = VESK_PRODUCT;

ProcessResult runDriver(std::vector<std::string> args, std::vector<std::string> env = {}) {
  ProcessOptions options;
  options.args = std::move(args);
  options.set_env = std::move(env);
  return vesk::testing::runProcess(driver, options);
}

std::string temporaryDirectory() {
  char pattern[] = "/tmp/vesk-run-test-XXXXXX";
  return ::mkdtemp(pattern);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The report's paragraph for one case: its line, and the output shown under it up to the next
// case line or the summary.
std::string paragraphOf(const std::string& report, const std::string& name) {
  const std::size_t line = report.find(" " + name + "...");
  if (line == std::string::npos) return "";
  std::size_t end = line;
  for (;;) {
    end = report.find('\n', end + 1);
    if (end == std::string::npos || end + 1 == report.size()) break;
    const std::string next = report.substr(end + 1, report.find('\n', end + 1) - end - 1);
    const bool case_line = next.find('/') != std::string::npos &&
                           next.find("...") != std::string::npos &&
                           next.find(" [") != std::string::npos;
    if (case_line || next.find(" passed") != std::string::npos || next.starts_with("All ")) break;
  }
  return report.substr(report.rfind('\n', line) + 1, end - report.rfind('\n', line) - 1);
}

// Reads the JUnit file at `path` with libxml2's xmllint, which refuses a file that is not well
// formed: the value of the XPath expression `expr` (a string or a number), or a test failure.
std::string junit(const std::string& path, const std::string& expr) {
  ProcessOptions options;
  options.args = {"--xpath", expr, path};
  const ProcessResult r = vesk::testing::runProcess("/usr/bin/xmllint", options);
  if (r.exit_code != 0) ADD_FAILURE() << "xmllint " << expr << " " << path << ":\n" << r.err;
  return r.out.ends_with('\n') ? r.out.substr(0, r.out.size() - 1) : r.out;  // its own line end
}

// The XPath of the test case `name` ("{classname}.test.{name}") of a JUnit file.
std::string junitCase(const std::string& name) {
  const std::size_t split = name.find(".test.");
  return "//testsuite/testcase[@classname='" + name.substr(0, split) + "' and @name='" +
         name.substr(split + 6) + "']";
}

bool processGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pid_field, comm, state;
  // A killed server that nobody reaped yet is a zombie: gone all the same.
  return !(stat >> pid_field >> comm >> state) || state == "Z";
}

TEST(Driver, ReportsEveryOutcomeWithTheOutputOfItsOwnCaseAndWritesJUnit) {
  const std::string dir = temporaryDirectory();
  const ProcessResult r =
      runDriver({"-j2", "--junit", dir + "/report.xml", fixtures + "/server_fixture"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  const std::string& report = r.err;
  EXPECT_NE(report.find("server_fixture.test.passes...OK ["), std::string::npos) << report;
  EXPECT_NE(report.find("server_fixture.test.skips...SKIP ["), std::string::npos);
  EXPECT_NE(report.find("server_fixture.test.fails...FAIL ["), std::string::npos);
  EXPECT_NE(report.find("leaks and passes...OK, leaked memory, 1 errors logged ["),
            std::string::npos);
  EXPECT_NE(report.find("fails and leaks one block...FAIL, leaked memory, 1 errors logged ["),
            std::string::npos);
  // Each case's standard error sits under its own line, however the two servers interleave.
  const std::string logs = paragraphOf(report, "server_fixture.test.logs two errors");
  EXPECT_NE(logs.find("[fixture] (err): first error\n[fixture] (warn): a warning\n"
                      "[fixture] (err): second error"),
            std::string::npos)
      << logs;
  EXPECT_EQ(paragraphOf(report, "server_fixture.test.fails").find("[gpa]"), std::string::npos);
  EXPECT_NE(paragraphOf(report, "server_fixture.test.fails").find("fails()"), std::string::npos);
  EXPECT_NE(paragraphOf(report, "server_fixture.test.leaks and passes").find("leaksAndPasses()"),
            std::string::npos);
  EXPECT_EQ(paragraphOf(report, "server_fixture.test.passes").find('\n'), std::string::npos);
  EXPECT_NE(paragraphOf(report, "server_fixture.test.throws a runtime error")
                .find("uncaught exception of type std::runtime_error"),
            std::string::npos);
  EXPECT_NE(report.find("4 passed; 1 skipped; 4 failed.\n4 errors were logged.\n"
                        "2 tests leaked memory.\nFinished in "),
            std::string::npos)
      << report;

  const std::string xml = dir + "/report.xml";
  EXPECT_EQ(junit(xml,
                  "concat(/testsuites/testsuite/@name, ' ', //testsuite/@tests, ' ', "
                  "//testsuite/@failures, ' ', //testsuite/@errors, ' ', "
                  "//testsuite/@skipped, ' ', count(//testsuite/testcase))"),
            "server_fixture 9 6 0 1 9");
  EXPECT_EQ(junit(xml, "count(" + junitCase("server_fixture.test.passes") + "/*)"), "0");
  EXPECT_EQ(junit(xml, "count(" + junitCase("server_fixture.test.skips") + "/skipped)"), "1");
  const std::string logged = junitCase("server_fixture.test.logs two errors");
  EXPECT_EQ(junit(xml, "string(" + logged + "/failure/@message)"), "2 errors were logged");
  EXPECT_NE(junit(xml, "string(" + logged + "/system-err)").find("[fixture] (err): second error\n"),
            std::string::npos);
  EXPECT_EQ(junit(xml, "string(" + junitCase("server_fixture.test.fails and leaks one block") +
                           "/failure/@message)"),
            "the case failed; it leaked memory; 1 errors were logged");
  EXPECT_EQ(junit(xml, "count(" +
                           junitCase("server_fixture.test.naïve → café frees what it takes") + ")"),
            "1");
  EXPECT_GE(std::stod(junit(xml, "string(" + junitCase("server_fixture.test.passes") + "/@time)")),
            0.0);
}

TEST(Driver, ACrashedCaseIsReportedWithItsReportAndTheRestRunsOnAFreshServer) {
  const std::string dir = temporaryDirectory();
  const ProcessResult stop =
      runDriver({"-j1", "--junit", dir + "/stop.xml", fixtures + "/harness_fixture"},
                {"VESK_FIXTURE_TABLE=stop"});
  EXPECT_EQ(stop.exit_code, 1);
  const std::string masked = vesk::testing::maskVarying(stop.err);
  EXPECT_NE(masked.find("1/3 fixture.test.passes...OK ["), std::string::npos) << masked;
  EXPECT_NE(
      masked.find("2/3 fixture.test.overflows...CRASH (thread ? panic: integer overflow) [", 0),
      std::string::npos);
  EXPECT_NE(
      paragraphOf(masked, "fixture.test.overflows").find("in (anonymous namespace)::overflows()"),
      std::string::npos);
  EXPECT_NE(masked.find("3/3 fixture.test.never runs...OK ["), std::string::npos);
  EXPECT_NE(masked.find("2 passed; 0 skipped; 0 failed; 1 crashed; 0 timed out.\n"),
            std::string::npos);
  const std::string error = junitCase("fixture.test.overflows") + "/error";
  EXPECT_EQ(vesk::testing::maskVarying(junit(dir + "/stop.xml", "string(" + error + "/@message)")),
            "thread ? panic: integer overflow");
  EXPECT_EQ(junit(dir + "/stop.xml", "string(" + error + "/@type)"), "crash");

  const ProcessResult fault =
      runDriver({fixtures + "/harness_fixture"}, {"VESK_FIXTURE_TABLE=fault"});
  EXPECT_EQ(fault.exit_code, 1);
  EXPECT_NE(
      fault.err.find("fixture.test.bad pointer...CRASH (Segmentation fault at address 0x10) ["),
      std::string::npos)
      << fault.err;
}

// A process a case starts inherits the server's pipes and may hold them open for a minute: the
// server's end, not the end of its pipes, ends its case, and the process goes with its server.
TEST(Driver, AServerIsSeenToEndWhileAProcessItStartedHoldsItsPipes) {
  const std::string dir = temporaryDirectory();
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r =
      runDriver({"-j1", fixtures + "/harness_fixture"},
                {"VESK_FIXTURE_TABLE=outlived", "FIXTURE_PID_FILE=" + dir + "/pids"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("1/3 fixture.test.leaves a process...OK ["), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("2/3 fixture.test.leaves a process and faults...CRASH (Segmentation fault "
                       "at address 0x10) ["),
            std::string::npos);
  EXPECT_NE(r.err.find("3/3 fixture.test.passes...OK ["), std::string::npos);
  std::istringstream pids(readFile(dir + "/pids"));
  int count = 0;
  for (pid_t pid = 0; pids >> pid; ++count)
    EXPECT_TRUE(processGone(pid)) << pid;
  EXPECT_EQ(count, 2);
}

// Code under test may print on standard output or read standard input; in build-driver mode the
// print is the case's output (shown with --verbose) and the read finds the end of the input.
TEST(Driver, ACaseThatUsesTheStandardStreamsLeavesTheExchangeAlone) {
  const ProcessResult r =
      runDriver({"-j1", "--verbose", "--timeout", "10", fixtures + "/harness_fixture"},
                {"VESK_FIXTURE_TABLE=stdio"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.err.starts_with("1/2 fixture.test.uses the standard streams...OK [")) << r.err;
  EXPECT_NE(r.err.find(" ms]\nprinted on standard output\nand more\n"
                       "2/2 fixture.test.passes...OK ["),
            std::string::npos);
  EXPECT_NE(r.err.find("\nAll 2 tests passed.\n"), std::string::npos);
}

TEST(Driver, ACaseOverTheTimeLimitIsKilledAndTheRunGoesOn) {
  const std::string dir = temporaryDirectory();
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = runDriver({"--timeout", "0.3", "--filter", "progress.test.case 0?:*",
                                     "--junit", dir + "/t.xml", fixtures + "/progress_fixture"},
                                    {"FIXTURE_SLOW_CASE=2", "FIXTURE_SLOW_MS=60000"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("progress.test.case 02: Π_Λ ε S³...TIMEOUT (timed out after 0.3 s) ["),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("8 passed; 0 skipped; 0 failed; 0 crashed; 1 timed out.\n"),
            std::string::npos);
  EXPECT_EQ(junit(dir + "/t.xml", "string(//testsuite/@errors)"), "1");
}

TEST(Driver, SelectsCasesByPatternAndListsThemInTableOrder) {
  const ProcessResult list = runDriver({"--list", product});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 36);
  EXPECT_TRUE(list.out.starts_with("vesk_ecs.test.ECS: Entity creation and lifecycle\n"));
  EXPECT_TRUE(list.out.ends_with("pglFromHomogeneous rejects singular\n"));

  const ProcessResult pgl =
      runDriver({"--list", "--filter", "*PGL4*", "--exclude", "*comptime*", "--filter",
                 "vesk_kernel.test.CORDIC inverse sqr?", product});
  EXPECT_EQ(pgl.out,
            "vesk_ecs.test.ECS: Entity world transform PGL4\n"
            "vesk_kernel.test.PGL4: identity action\nvesk_kernel.test.PGL4: determinant\n"
            "vesk_kernel.test.PGL4: translation and scale\n"
            "vesk_kernel.test.PGL4: Newton-Schulz inverse\n"
            "vesk_kernel.test.PGL4: normalizeDet → det ≈ 1\n"
            "vesk_kernel.test.PGL4: rotation preserves norm\n"
            "vesk_kernel.test.CORDIC inverse sqrt\n");

  const ProcessResult one =
      runDriver({"-j3", "--filter", "vesk_kernel.test.PGL4: determinant", product});
  EXPECT_EQ(one.exit_code, 0);
  EXPECT_NE(one.err.find("1/1 vesk_kernel.test.PGL4: determinant...OK ["), std::string::npos);
  EXPECT_NE(one.err.find("\nAll 1 tests passed.\nFinished in "), std::string::npos) << one.err;
}

TEST(Driver, RefusesBadInputWithAClearMessageAndStatusTwo) {
  const std::string dir = temporaryDirectory();
  const auto script = [&](const std::string& name, const std::string& body) {
    std::ofstream(dir + "/" + name) << "#!/bin/sh\n" << body << "\n";
    ::chmod((dir + "/" + name).c_str(), 0755);
    return dir + "/" + name;
  };
  std::ofstream(dir + "/plain") << "not a program\n";
  const std::string silent = script("silent", "echo $$ > " + dir + "/silent.pid\nexec sleep 60");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{dir + "/missing"}, "cannot run '" + dir + "/missing': no such file"},
      {{dir + "/plain"}, "it is not executable (EACCES)"},
      {{dir}, "it is a directory"},
      // Its output stays open in a process it leaves behind: its own end is what counts.
      {{script("closes", "sleep 60 &\nexit 0")},
       "is not a harness executable: it ended before sending the protocol version (exited with "
       "status 0)"},
      {{script("garbage", "echo hello there")},
       "its first message has tag 0x6c6c6568 and 1752440943 bytes, not the protocol version; its "
       "output starts with \"hello there\\x0a\""},
      {{script("old", "printf '\\0\\0\\0\\0\\6\\0\\0\\0000.12.0'; sleep 60")},
       "speaks protocol version '0.12.0'; this vesk-run speaks '0.13.0'"},
      {{silent}, "is not a harness executable: no protocol version within 5 s"},
      // A version, a table of one case, then the result of another case.
      {{script("liar",
               "printf '\\000\\000\\000\\000\\006\\000\\000\\000''0.13.0'\n"
               "printf '\\003\\000\\000\\000\\032\\000\\000\\000\\012\\000\\000\\000"
               "\\001\\000\\000\\000\\001\\000\\000\\000\\000\\000\\000\\000\\000''x.test.a'"
               "'\\000'\nsleep 0.3\nprintf '\\004\\000\\000\\000\\010\\000\\000\\000"
               "\\007\\000\\000\\000\\000\\000\\000\\000'\nsleep 5")},
       "broke the protocol while running 'x.test.a': it replied with the result of case index 7 "
       "instead of 0"},
      {{"--filter", "nothing*", product}, "no case matches the --filter and --exclude patterns"},
      {{fixtures + "/server_fixture_empty"}, "has no cases"},
      {{"--junit", dir, product}, "vesk-run: cannot write '" + dir + "': EISDIR"},
      {{"--junit", dir + "/missing/report.xml", product},
       "vesk-run: cannot write '" + dir + "/missing/report.xml': ENOENT"},
      {{"-j0", product}, "invalid job count '0'"},
      {{"--timeout", "soon", product}, "invalid timeout 'soon'"},
      {{"--frobnicate", product}, "unknown option '--frobnicate'"},
      {{}, "no executable given"},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = runDriver(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("...OK"), std::string::npos) << "no case runs: " << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << c.message;
  }
  EXPECT_TRUE(processGone(std::stoi(readFile(dir + "/silent.pid"))));
}

TEST(Driver, EndsEveryServerWhenItIsTerminatedOrKilled) {
  for (const int signal : {SIGTERM, SIGKILL}) {
    std::vector<std::string> args = {driver, "-j2", fixtures + "/progress_fixture"};
    std::vector<std::string> env = vesk::testing::childEnvironment({"FIXTURE_SLEEP_MS=10000"});
    const std::vector<char*> argv = vesk::testing::execArray(args);
    const std::vector<char*> envp = vesk::testing::execArray(env);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execve(driver.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    std::vector<pid_t> servers;
    for (int tries = 0; tries < 100 && servers.size() < 2; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                             "/children");
      servers.clear();
      for (pid_t child; children >> child;)
        servers.push_back(child);
    }
    ASSERT_EQ(servers.size(), 2u);
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (pid_t server : servers)
      EXPECT_TRUE(processGone(server)) << "server " << server << " after signal " << signal;
  }
}

TEST(Driver, ShowsProgressOnATerminalAndOnlyTheCasesThatNeedALook) {
  ProcessOptions options;
  options.args = {"-j2", fixtures + "/progress_fixture"};
  options.set_env = {"FIXTURE_SLEEP_MS=20", "TERM=xterm"};
  options.stderr_on_terminal = true;
  const ProcessResult r = vesk::testing::runProcess(driver, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("/36] Test"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("progress.test.case "), std::string::npos);
  EXPECT_EQ(r.err.find("...OK"), std::string::npos);
  EXPECT_NE(r.err.find("\x1b[J"
                       "All 36 tests passed.\r\n"),
            std::string::npos)
      << r.err;
}

}  // namespace
