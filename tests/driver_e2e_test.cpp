// vesk-run end to end: the driver runs fixture executables and the product as real processes;
// the tests check its report, its JUnit file (parsed), its exit status, and that no server
// outlives it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_process.hpp"

namespace {

using vesk::testing::processEnds;
using vesk::testing::ProcessOptions;
using vesk::testing::ProcessResult;

const std::string DRIVER = VESK_DRIVER;
const std::string DRIVER_FIXTURE = VESK_FIXTURE_DIR "/driver_fixture";
const std::string FIXTURES = VESK_FIXTURE_DIR;
const std::string PRODUCT = VESK_PRODUCT;

ProcessResult runDriver(std::vector<std::string> args, std::vector<std::string> env = {}) {
  ProcessOptions options;
  options.args = std::move(args);
  options.set_env = std::move(env);
  return vesk::testing::runProcess(DRIVER, options);
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

TEST(Driver, ReportsEveryOutcomeWithTheOutputOfItsOwnCaseAndWritesJUnit) {
  const std::string dir = temporaryDirectory();
  const ProcessResult r =
      runDriver({"-j2", "--junit", dir + "/report.xml", FIXTURES + "/server_fixture"});
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
      runDriver({"-j1", "--junit", dir + "/stop.xml", FIXTURES + "/harness_fixture"},
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
      runDriver({FIXTURES + "/harness_fixture"}, {"VESK_FIXTURE_TABLE=fault"});
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
      runDriver({"-j1", FIXTURES + "/harness_fixture"},
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
    EXPECT_TRUE(processEnds(pid)) << pid;
  EXPECT_EQ(count, 2);
}

// Code under test may print on standard output or read standard input; in build-driver mode the
// print is the case's output (shown with --verbose) and the read finds the end of the input.
TEST(Driver, ACaseThatUsesTheStandardStreamsLeavesTheExchangeAlone) {
  const ProcessResult r =
      runDriver({"-j1", "--verbose", "--timeout", "10", FIXTURES + "/harness_fixture"},
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
                                     "--junit", dir + "/t.xml", FIXTURES + "/progress_fixture"},
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
  const ProcessResult list = runDriver({"--list", PRODUCT});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 36);
  EXPECT_TRUE(list.out.starts_with("vesk_ecs.test.ECS: Entity creation and lifecycle\n"));
  EXPECT_TRUE(list.out.ends_with("pglFromHomogeneous rejects singular\n"));

  const ProcessResult pgl =
      runDriver({"--list", "--filter", "*PGL4*", "--exclude", "*comptime*", "--filter",
                 "vesk_kernel.test.CORDIC inverse sqr?", PRODUCT});
  EXPECT_EQ(pgl.out,
            "vesk_ecs.test.ECS: Entity world transform PGL4\n"
            "vesk_kernel.test.PGL4: identity action\nvesk_kernel.test.PGL4: determinant\n"
            "vesk_kernel.test.PGL4: translation and scale\n"
            "vesk_kernel.test.PGL4: Newton-Schulz inverse\n"
            "vesk_kernel.test.PGL4: normalizeDet → det ≈ 1\n"
            "vesk_kernel.test.PGL4: rotation preserves norm\n"
            "vesk_kernel.test.CORDIC inverse sqrt\n");

  const ProcessResult one =
      runDriver({"-j3", "--filter", "vesk_kernel.test.PGL4: determinant", PRODUCT});
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
      {{FIXTURES + "/driver_fixture"},
       "has a case table vesk-run cannot run: cases 0 and 2 are both named 'driver.test.a'"},
      {{"--filter", "nothing*", PRODUCT}, "no case matches the --filter and --exclude patterns"},
      {{FIXTURES + "/server_fixture_empty"}, "has no cases"},
      {{"--junit", dir, PRODUCT}, "vesk-run: cannot write '" + dir + "': EISDIR"},
      {{"--junit", dir + "/missing/report.xml", PRODUCT},
       "vesk-run: cannot write '" + dir + "/missing/report.xml': ENOENT"},
      {{"-j0", PRODUCT}, "invalid job count '0'"},
      {{"--timeout", "soon", PRODUCT}, "invalid timeout 'soon'"},
      {{"--frobnicate", PRODUCT}, "unknown option '--frobnicate'"},
      {{}, "no executable given"},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = runDriver(c.args, {"DRIVER_FIXTURE_TABLE=duplicate"});
    EXPECT_EQ(r.exit_code, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("...OK"), std::string::npos) << "no case runs: " << r.err;
    // The silent program takes the 5 s handshake limit; the rest is slack for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12)) << c.message;
  }
  EXPECT_TRUE(processEnds(std::stoi(readFile(dir + "/silent.pid"))));
}

TEST(Driver, EndsEveryServerWhenItIsTerminatedOrKilled) {
  for (const int signal : {SIGTERM, SIGKILL}) {
    std::vector<std::string> args = {DRIVER, "-j2", FIXTURES + "/progress_fixture"};
    std::vector<std::string> env = vesk::testing::childEnvironment({"FIXTURE_SLEEP_MS=10000"});
    const std::vector<char*> argv = vesk::testing::execArray(args);
    const std::vector<char*> envp = vesk::testing::execArray(env);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execve(DRIVER.c_str(), argv.data(), envp.data());
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
      EXPECT_TRUE(processEnds(server)) << "server " << server << " after signal " << signal;
  }
}

TEST(Driver, ShowsProgressOnATerminalAndOnlyTheCasesThatNeedALook) {
  ProcessOptions options;
  options.args = {"-j2", FIXTURES + "/progress_fixture"};
  options.set_env = {"FIXTURE_SLEEP_MS=20", "TERM=xterm"};
  options.stderr_on_terminal = true;
  const ProcessResult r = vesk::testing::runProcess(DRIVER, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("/36] Test"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("progress.test.case "), std::string::npos);
  EXPECT_EQ(r.err.find("...OK"), std::string::npos);
  EXPECT_NE(r.err.find("\x1b[J"
                       "All 36 tests passed.\r\n"),
            std::string::npos)
      << r.err;
}

// A run of the driver fixture's table `table`.
ProcessResult runTable(const std::string& table, std::vector<std::string> args,
                       std::vector<std::string> env = {}) {
  args.push_back(DRIVER_FIXTURE);
  env.push_back("DRIVER_FIXTURE_TABLE=" + table);
  ProcessOptions options;
  options.args = std::move(args);
  options.set_env = std::move(env);
  options.time_limit_ms = 60000;
  return vesk::testing::runProcess(DRIVER, options);
}

// `command` run by the shell, for what needs its redirections and limits.
ProcessResult runShell(const std::string& command, std::vector<std::string> env = {}) {
  ProcessOptions options;
  options.args = {"-c", command};
  options.set_env = std::move(env);
  options.time_limit_ms = 60000;
  return vesk::testing::runProcess("/bin/sh", options);
}

TEST(Driver, JUnitGoesThroughSymbolicLinksAndIntoDevicesAndPipesWithoutReplacingThem) {
  const std::string dir = temporaryDirectory();
  ASSERT_EQ(::symlink("reports/real.xml", (dir + "/link.xml").c_str()), 0);
  ASSERT_EQ(::mkdir((dir + "/reports").c_str(), 0755), 0);
  ASSERT_EQ(runTable("state", {"--isolate", "--junit", dir + "/link.xml"}).exit_code, 0);
  struct stat st {};
  ASSERT_EQ(::lstat((dir + "/link.xml").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(junit(dir + "/reports/real.xml", "count(//testcase)"), "3");

  // A FIFO stands for every path that is not a regular file: a regression tried on /dev/null
  // would replace it system-wide when run as root.
  const std::string fifo = dir + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  auto reader = std::async(std::launch::async, [&] { return readFile(fifo); });
  EXPECT_EQ(runTable("state", {"--isolate", "--junit", fifo}).exit_code, 0);
  const std::string xml = reader.get();
  EXPECT_TRUE(xml.starts_with("<?xml")) << xml;
  EXPECT_TRUE(xml.ends_with("</testsuites>\n"));
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(Driver, ACaseWritingWithoutEndCostsBoundedMemoryAndLeavesAReadableReport) {
  const std::string dir = temporaryDirectory();
  // 200 MB of output under an address-space limit it would take three times over to keep.
#ifdef VESK_SANITIZED
  const std::string limit;  // a sanitizer runtime reserves terabytes of address space
#else
  const std::string limit = "ulimit -v 262144; ";
#endif
  const ProcessResult r = runShell(limit + "exec '" + DRIVER + "' --verbose --junit " + dir +
                                       "/big.xml '" + DRIVER_FIXTURE + "'",
                                   {"DRIVER_FIXTURE_TABLE=output"});
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(0, 2000);
  const std::uint64_t written = 11 + (std::uint64_t{200} << 20) + 11;
  const std::string left_out = "[vesk-run: " + std::to_string(written - std::uint64_t{2} * 65536) +
                               " bytes of output left out]\n";
  const std::string paragraph = paragraphOf(r.err, "driver.test.writes without end");
  EXPECT_TRUE(paragraph.find("\nfirst line\nxxx") != std::string::npos) << paragraph.substr(0, 200);
  EXPECT_NE(paragraph.find("xxx\n" + left_out + "xxx"), std::string::npos);
  EXPECT_TRUE(paragraph.ends_with("xxx\nlast line"));
  EXPECT_LT(r.err.size(), std::size_t{140000});
  // xmllint refuses a text node this large without --huge; this one is well under it.
  EXPECT_NE(junit(dir + "/big.xml", "string(//testcase[@name='writes without end']/system-err)")
                .find(left_out),
            std::string::npos);

  const ProcessResult small =
      runTable("output", {"--verbose", "--output-limit", "4"}, {"FIXTURE_OUTPUT_MB=1"});
  EXPECT_NE(small.err.find("]\nfirs\n[vesk-run: " + std::to_string(22 + (1 << 20) - 8) +
                           " bytes of output left out]\nine\n"),
            std::string::npos)
      << small.err;
}

TEST(Driver, AServerThatBreaksTheProtocolCostsOnlyTheRunningCase) {
  const std::string dir = temporaryDirectory();
  const ProcessResult r = runTable("protocol", {"-j1", "--junit", dir + "/p.xml"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("2/5 driver.test.writes to the protocol...CRASH (the server broke the "
                       "protocol: it replied with tag 0x61727473"),
            std::string::npos)
      << r.err;
  // A child that returns from the case that forked it ends there: it neither answers as a second
  // server nor runs the rest of the cases, with the driver or without.
  for (const char* name :
       {"1/5 driver.test.passes first...OK", "3/5 driver.test.passes second...OK",
        "4/5 driver.test.forks and both return...OK", "5/5 driver.test.passes third...OK"})
    EXPECT_NE(r.err.find(name), std::string::npos) << name;
  EXPECT_NE(r.err.find("4 passed; 0 skipped; 0 failed; 1 crashed; 0 timed out.\nFinished in "),
            std::string::npos);
  EXPECT_EQ(junit(dir + "/p.xml", "count(//testcase)"), "5");
  ProcessOptions alone;
  alone.set_env = {"DRIVER_FIXTURE_TABLE=protocol"};
  alone.time_limit_ms = 60000;
  const ProcessResult terminal = vesk::testing::runProcess(DRIVER_FIXTURE, alone);
  EXPECT_EQ(terminal.exit_code, 1);  // without a driver, the case writing to it fails
  EXPECT_TRUE(
      terminal.err.ends_with("4/5 driver.test.forks and both return...OK\n"
                             "5/5 driver.test.passes third...OK\n"
                             "4 passed; 0 skipped; 1 failed.\n"))
      << terminal.err;

  // A server that answers for the wrong case, every time it is started.
  const std::string liar = dir + "/liar";
  std::ofstream(liar) << "#!/bin/sh\n"
                         "printf '\\000\\000\\000\\000\\006\\000\\000\\000''0.13.0'\n"
                         "printf '\\003\\000\\000\\000\\053\\000\\000\\000\\023\\000\\000\\000"
                         "\\002\\000\\000\\000\\001\\000\\000\\000\\012\\000\\000\\000"
                         "\\000\\000\\000\\000\\000\\000\\000\\000\\000''x.test.a''\\000''x.test.b'"
                         "'\\000'\nsleep 0.3\nprintf '\\004\\000\\000\\000\\010\\000\\000\\000"
                         "\\007\\000\\000\\000\\000\\000\\000\\000'\nsleep 5\n";
  ::chmod(liar.c_str(), 0755);
  const ProcessResult lies = runDriver({"-j1", liar});
  EXPECT_EQ(lies.exit_code, 1) << lies.err;
  EXPECT_NE(lies.err.find("1/2 x.test.a...CRASH (the server broke the protocol: it replied with "
                          "the result of case index 7 instead of 0)"),
            std::string::npos)
      << lies.err;
  // Its next copy sends the table again, unasked.
  EXPECT_NE(lies.err.find("2/2 x.test.b...CRASH (the server broke the protocol: it replied with "
                          "tag 0x3 and 43 bytes, not a result record)"),
            std::string::npos);
}

TEST(Driver, AStoppedServerIsACrashOfItsCaseAndTheRunGoesOn) {
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = runTable("stop", {"-j1"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("2/3 driver.test.stops itself...CRASH (stopped by SIGSTOP) ["),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("3/3 driver.test.passes second...OK ["), std::string::npos);
}

TEST(Driver, AServerEndingBadlyAfterTheExitRequestFailsTheRun) {
  const std::string dir = temporaryDirectory();
  const ProcessResult r = runTable("exit", {"--junit", dir + "/e.xml"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("vesk-run: a server exited with status 23 after the exit request; it "
                       "wrote:\n==1==ERROR: LeakSanitizer: detected memory leaks\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(junit(dir + "/e.xml", "string(//testsuite/@errors)"), "1");
  EXPECT_EQ(junit(dir + "/e.xml", "string(//testcase[@name='server exit']/error/@message)"),
            "a server exited with status 23 after the exit request");
}

TEST(Driver, IsolateRunsEveryCaseOnAFreshServer) {
  const ProcessResult shared = runTable("state", {"-j1"});
  EXPECT_EQ(shared.exit_code, 1);
  EXPECT_NE(shared.err.find("2/3 driver.test.fails where marked...FAIL"), std::string::npos);
  const ProcessResult isolated = runTable("state", {"-j1", "--isolate"});
  EXPECT_EQ(isolated.exit_code, 0) << isolated.err;
  EXPECT_NE(isolated.err.find("All 3 tests passed."), std::string::npos);
}

TEST(Driver, RetriesRunAFailedCaseAgainOnAFreshServerAndTellFlakyFromBroken) {
  const std::string dir = temporaryDirectory();
  const ProcessResult r =
      runDriver({"-j1", "--retries", "2", "--junit", dir + "/r.xml", DRIVER_FIXTURE},
                {"DRIVER_FIXTURE_TABLE=flaky", "FIXTURE_STATE_DIR=" + dir});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find(" driver.test.fails on its first try...FLAKY (try 2, after FAIL) ["),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(" driver.test.always fails...FAIL (try 3, after FAIL, FAIL) ["),
            std::string::npos);
  EXPECT_NE(r.err.find("2 passed; 0 skipped; 1 failed.\n1 tests were flaky (passed on a retry).\n"),
            std::string::npos);
  const std::string flaky = junitCase("driver.test.fails on its first try");
  EXPECT_EQ(junit(dir + "/r.xml", "count(" + flaky + "/*)"), "1");
  EXPECT_EQ(
      junit(dir + "/r.xml", "starts-with(" + flaky + "/flakyFailure/system-err, 'first try')"),
      "true");
  const std::string broken = junitCase("driver.test.always fails");
  EXPECT_EQ(junit(dir + "/r.xml", "count(" + broken + "/rerunFailure)"), "2");
  EXPECT_EQ(junit(dir + "/r.xml", "count(" + broken + "/failure)"), "1");
  EXPECT_EQ(junit(dir + "/r.xml", "string(//testsuite/@failures)"), "1");

  // The case that fails where an earlier case left a mark passes on its retry: a fresh server.
  const ProcessResult state = runTable("state", {"-j1", "--retries", "1"});
  EXPECT_EQ(state.exit_code, 0) << state.err;
  EXPECT_NE(state.err.find("driver.test.fails where marked...FLAKY (try 2, after FAIL)"),
            std::string::npos);
  EXPECT_EQ(runTable("state", {"--retries", "x"}).exit_code, 2);
}

// The case names of a report's result lines, in the order they finished.
std::vector<std::string> resultNames(const std::string& report) {
  std::vector<std::string> names;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    const std::size_t space = line.find(' '), dots = line.rfind("...");
    if (line.find('/') < space && dots != std::string::npos && line.ends_with(']'))
      names.push_back(line.substr(space + 1, dots - space - 1));
  }
  return names;
}

TEST(Driver, RepeatRunsEveryCaseEachTimeAndTheSeedPrintedRepeatsTheShuffledOrder) {
  const std::string dir = temporaryDirectory();
  const ProcessResult first =
      runTable("environment", {"-j1", "--repeat", "3", "--shuffle", "--junit", dir + "/r.xml"});
  EXPECT_EQ(first.exit_code, 0) << first.err;
  const std::string said = "vesk-run: shuffling the cases with seed ";
  ASSERT_TRUE(first.err.starts_with(said)) << first.err;
  const std::string seed =
      first.err.substr(said.size(), first.err.find(' ', said.size()) - said.size());
  EXPECT_NE(first.err.find(" (--seed " + seed + " repeats the order)\n1/12 driver.test."),
            std::string::npos);
  EXPECT_NE(first.err.find("\nAll 12 tests passed.\n"), std::string::npos);
  const std::vector<std::string> order = resultNames(first.err);
  ASSERT_EQ(order.size(), 12u);
  EXPECT_EQ(std::count(order.begin(), order.end(), "driver.test.passes second"), 3);
  EXPECT_EQ(junit(dir + "/r.xml", "count(//testcase[@name='passes second'])"), "3");

  const ProcessResult again = runTable("environment", {"-j1", "--repeat", "3", "--seed", seed});
  EXPECT_EQ(resultNames(again.err), order);
  // Without --shuffle the passes go in table order, one after the other.
  const ProcessResult plain = runTable("environment", {"-j1", "--repeat", "2"});
  const std::vector<std::string> table = {"driver.test.passes first",
                                          "driver.test.prints its temporary directory",
                                          "driver.test.passes second", "driver.test.passes third"};
  std::vector<std::string> twice = table;
  twice.insert(twice.end(), table.begin(), table.end());
  EXPECT_EQ(resultNames(plain.err), twice);
  EXPECT_EQ(plain.err.find("shuffling"), std::string::npos);
}

TEST(Driver, AtTheFailureLimitNoCaseStartsAndTheRestAreReportedAsNotRun) {
  const std::string dir = temporaryDirectory();
  const ProcessResult fast = runTable("flaky", {"-j1", "--fail-fast", "--junit", dir + "/f.xml"},
                                      {"FIXTURE_STATE_DIR=" + dir});
  EXPECT_EQ(fast.exit_code, 1);
  EXPECT_NE(fast.err.find("1/3 driver.test.fails on its first try...FAIL ["), std::string::npos)
      << fast.err;
  EXPECT_NE(fast.err.find("\n0 passed; 0 skipped; 1 failed.\n2 tests were not run (the run "
                          "stopped at its failure limit).\nFinished in "),
            std::string::npos);
  EXPECT_EQ(resultNames(fast.err).size(), 1u);
  EXPECT_EQ(junit(dir + "/f.xml",
                  "concat(//testsuite/@tests, ' ', //testsuite/@skipped, ' ', "
                  "count(//testcase/skipped[@message='not run']))"),
            "3 2 2");

  // A flaky case is no failure, and a failed try with a retry to come is not one yet.
  const std::string fresh = temporaryDirectory();
  const ProcessResult limit = runTable("flaky", {"-j1", "--retries", "1", "--max-fail", "1"},
                                       {"FIXTURE_STATE_DIR=" + fresh});
  EXPECT_EQ(limit.exit_code, 1);
  EXPECT_EQ(resultNames(limit.err), (std::vector<std::string>{"driver.test.fails on its first try",
                                                              "driver.test.always fails"}))
      << limit.err;
  EXPECT_NE(limit.err.find("1 tests were not run"), std::string::npos);

  const ProcessResult tap =
      runTable("flaky", {"-j1", "--retries", "1", "--max-fail", "1", "--format", "tap"},
               {"FIXTURE_STATE_DIR=" + temporaryDirectory()});
  EXPECT_TRUE(
      tap.out.starts_with("TAP version 13\nok 1 - driver.test.fails on its first try\n"
                          "# flaky: driver.test.fails on its first try passed on try 2, "
                          "after failed\nnot ok 2 - driver.test.always fails\n"))
      << tap.out;
  EXPECT_TRUE(tap.out.ends_with("\nok 3 - driver.test.passes # SKIP not run\n1..3\n"));
}

TEST(Driver, ACaseStillRunningGetsASlowLineEachPeriodAndTheSummaryNamesTheSlowest) {
  const ProcessResult r = runTable("slow", {"-j1", "--slow", "0.4"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("\ndriver.test.sleeps a second...SLOW (still running after 0.4 s)\n"
                       "driver.test.sleeps a second...SLOW (still running after 0.8 s)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("\ndriver.test.sleeps a second again...SLOW (still running after 0.8 s)\n"),
            std::string::npos);
  EXPECT_EQ(r.err.find("driver.test.passes...SLOW"), std::string::npos);
  const std::size_t slowest = r.err.find("\nSlowest:\n");
  ASSERT_NE(slowest, std::string::npos);
  // Slowest first: the two sleepers, then the case that passes at once, the last line.
  const std::string list = r.err.substr(slowest);
  EXPECT_LT(list.find(" s  driver.test.sleeps a second"), list.find(" ms  driver.test.passes\n"));
  EXPECT_TRUE(list.ends_with(" ms  driver.test.passes\n")) << list;
  EXPECT_EQ(runTable("slow", {"-j1", "--slow", "off"}).err.find("SLOW"), std::string::npos);
}

TEST(Driver, SmallFaults) {
  // A list that cannot be written is a failure.
  const ProcessResult full = runShell("exec '" + DRIVER + "' --list '" + PRODUCT + "' >/dev/full");
  EXPECT_EQ(full.exit_code, 1);
  EXPECT_NE(full.err.find("vesk-run: cannot write the case list: ENOSPC"), std::string::npos);
  // A program that ends at once is reported by its own end, never by the driver's kill.
  for (int i = 0; i < 20; ++i) {
    const ProcessResult t = runDriver({"/bin/true"});
    EXPECT_EQ(t.exit_code, 2);
    EXPECT_NE(t.err.find("it ended before sending the protocol version (exited with status 0)"),
              std::string::npos)
        << t.err;
  }
  const ProcessResult line = runTable("line end", {});
  EXPECT_EQ(line.exit_code, 2);
  EXPECT_NE(line.err.find("the name of case 1 holds a line end (\"driver.test.two\\x0alines\")"),
            std::string::npos)
      << line.err;
}

TEST(Driver, AnInterruptedRunReportsWhatFinishedAndEndsByTheSignal) {
  const std::string dir = temporaryDirectory();
  std::vector<std::string> args = {DRIVER, "-j1", "--junit", dir + "/i.xml", DRIVER_FIXTURE};
  // Under Bazel, the premature-exit file it creates at start stays: the run did not end cleanly.
  std::vector<std::string> env = vesk::testing::childEnvironment(
      {"DRIVER_FIXTURE_TABLE=slow", "TEST_PREMATURE_EXIT_FILE=" + dir + "/premature"});
  const std::vector<char*> argv = vesk::testing::execArray(args);
  const std::vector<char*> envp = vesk::testing::execArray(env);
  int err[2];
  ASSERT_EQ(::pipe(err), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(err[1], 2);
    ::execve(DRIVER.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(err[1]);
  // The first case passes at once; the second sleeps a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ::kill(pid, SIGINT);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_NE(text.find("1/3 driver.test.passes...OK ["), std::string::npos) << text;
  EXPECT_NE(text.find("\n1 passed; 0 skipped; 0 failed.\n2 tests did not finish.\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(junit(dir + "/i.xml", "count(//testcase)"), "3");
  EXPECT_EQ(junit(dir + "/i.xml", "count(//testcase/skipped[@message='interrupted'])"), "2");
  EXPECT_TRUE(std::ifstream(dir + "/premature").good());
}

}  // namespace

namespace {

// `report` with each case's time, the " [12.34 ms]" or " [1.05 s]" that ends its line, as " [T]".
std::string maskCaseTimes(const std::string& report) {
  std::string out;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    const std::size_t open = line.rfind(" [");
    if (open != std::string::npos && line.ends_with(" ms]") != line.ends_with(" s]") &&
        line.find_first_not_of("0123456789. ms", open + 2) == line.size() - 1)
      line = line.substr(0, open) + " [T]";
    out += line + '\n';
  }
  return out;
}

// Runs the pipelined table, whose fifth case goes wrong as `how` says, and checks the report up
// to its total time: the fifth case's line ends with `verdict`, its output is its own line and
// then `report_start`; every other case passes once, with its own line of output. Returns what
// follows `report_start` up to the next case line.
//
// The run is pipelined: the server's first case goes out alone, and its result, marked and quick
// (under a millisecond), lets the requests for all six other cases go out in one write (any one of
// the first four cases being that quick is enough). So the fifth case goes wrong with the two
// behind it already sent to its server, and they must run again on a fresh one.
std::string expectOnlyTheCaseGoneWrongIsCostIt(const std::string& how,
                                               std::vector<std::string> args,
                                               const std::string& verdict,
                                               const std::string& report_start = "") {
  const auto start = std::chrono::steady_clock::now();
  args.insert(args.begin(), {"-j1", "--verbose"});
  const ProcessResult r = runTable("pipelined", args, {"FIXTURE_GOES_WRONG=" + how});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r.exit_code, 1);
  std::string got = maskCaseTimes(vesk::testing::maskVarying(r.err));
  const std::string bad = "5/7 driver.test.goes wrong..." + verdict +
                          " [T]\noutput of the case that goes wrong\n" + report_start;
  const std::size_t after = got.find(bad);
  const std::size_t next = got.find("\n6/7 ", after + bad.size() - 1);
  if (after == std::string::npos || next == std::string::npos) {
    ADD_FAILURE() << got;
    return "";
  }
  const std::size_t from = after + bad.size(), len = next + 1 - from;
  const std::string rest = got.substr(from, len);
  got.erase(from, len);
  std::string expected;
  const auto passed = [&](char n) {
    expected +=
        std::string(1, n) + "/7 driver.test.prints " + n + "...OK [T]\noutput of " + n + "\n";
  };
  for (const char n : {'1', '2', '3', '4'})
    passed(n);
  expected += bad;
  for (const char n : {'6', '7'})
    passed(n);
  expected += "6 passed; 0 skipped; 0 failed; " +
              std::string(verdict.starts_with("CRASH") ? "1 crashed; 0" : "0 crashed; 1") +
              " timed out.\nFinished in ";
  EXPECT_EQ(got.substr(0, got.find("Finished in ") + 12), expected);
  return rest;
}

TEST(Driver, ACaseKilledAmidRequestsSentAheadCostsItAloneAndTheRestRunOnceOnAFreshServer) {
  EXPECT_EQ(expectOnlyTheCaseGoneWrongIsCostIt("kill", {}, "CRASH (the server ended by SIGKILL)"),
            "");
}

TEST(Driver, ACaseTimedOutAmidRequestsSentAheadCostsItAloneAndTheRestRunOnceOnAFreshServer) {
  EXPECT_EQ(expectOnlyTheCaseGoneWrongIsCostIt("hang", {"--timeout", "1"},
                                               "TIMEOUT (timed out after 1 s)"),
            "");
}

TEST(Driver, ACaseThatPanicsAmidRequestsSentAheadGetsItsReportAndTheRestRunOnceOnAFreshServer) {
  const std::string trace = expectOnlyTheCaseGoneWrongIsCostIt(
      "panic", {}, "CRASH (thread ? panic: gone wrong on purpose)",
      "thread ? panic: gone wrong on purpose\n");
  EXPECT_NE(trace.find(" in (anonymous namespace)::goesWrong()"), std::string::npos) << trace;
}

}  // namespace
