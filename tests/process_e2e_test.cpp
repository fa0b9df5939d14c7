// What a case may do to its process without changing how it or later cases are reported, end to
// end: the process fixture's cases call exit(), close or reopen descriptors, print before a
// fault, overflow a thread's stack, leave processes behind and change signal handling and limits,
// run directly (terminal mode) and through vesk-run.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_process.hpp"

namespace vesk::testing {
namespace {

const std::string FIXTURE = VESK_FIXTURE_DIR "/process_fixture";
const std::string DRIVER = VESK_DRIVER;

// Runs `table` of the fixture directly, or through vesk-run with `args` when there are any.
ProcessResult runTable(const std::string& table, std::vector<std::string> args = {},
                       std::vector<std::string> env = {}) {
  const std::string& program = args.empty() ? FIXTURE : DRIVER;
  ProcessOptions options;
  options.args = std::move(args);
  options.set_env = std::move(env);
  options.set_env.push_back("VESK_FIXTURE_TABLE=" + table);
  options.time_limit_ms = 30000;
  return runProcess(program, options);
}

ProcessResult runDriver(const std::string& table, const std::string& jobs,
                        std::vector<std::string> env = {}) {
  return runTable(table, {jobs, FIXTURE}, std::move(env));
}

std::string temporaryFile() {
  char pattern[] = "/tmp/vesk-process-test-XXXXXX";
  const int fd = ::mkstemp(pattern);
  ::close(fd);
  return pattern;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Each case's line in a vesk-run report, from its name on and without its wall time:
// "{name}...{WORD}..." by name.
std::map<std::string, std::string> caseLines(const std::string& report) {
  std::map<std::string, std::string> lines;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    const std::size_t space = line.find(' '), dots = line.find("...");
    if (space == std::string::npos || dots == std::string::npos || line.find('/') > space) continue;
    const std::size_t time = line.rfind(" [");
    lines[line.substr(space + 1, dots - space - 1)] = maskVarying(
        line.substr(dots + 3, time == std::string::npos ? std::string::npos : time - dots - 3));
  }
  return lines;
}

// The output vesk-run shows under the case `name`: up to the next case line or the summary.
std::string outputOf(const std::string& report, const std::string& name) {
  const std::size_t line = report.find(" " + name + "...");
  if (line == std::string::npos) return "";
  const std::size_t start = report.find('\n', line) + 1;
  std::size_t end = start;
  while (end < report.size()) {
    const std::string next = report.substr(end, report.find('\n', end) - end);
    if (next.find("...") != std::string::npos || next.find(" passed;") != std::string::npos ||
        next.starts_with("All ")) {
      break;
    }
    end += next.size() + 1;
  }
  return report.substr(start, end - start);
}

TEST(CaseProcess, ExitDuringACaseIsReportedWithTheCaseNameAndFailsTheRun) {
  const ProcessResult terminal = runTable("exit");
  EXPECT_EQ(terminal.exit_code, 1) << terminal.err;
  EXPECT_EQ(terminal.err,
            "1/4 process.test.passes...OK\n"
            "2/4 process.test.forks a child that exits...OK\n"
            "3/4 process.test.calls exit...case process.test.calls exit called exit(0)\n");
  EXPECT_EQ(terminal.out, "printed before exit\n");

  const ProcessResult driven = runDriver("exit", "-j1");
  EXPECT_EQ(driven.exit_code, 1) << driven.err;
  EXPECT_EQ(caseLines(driven.err),
            (std::map<std::string, std::string>{
                {"process.test.passes", "OK"},
                {"process.test.forks a child that exits", "OK"},
                {"process.test.calls exit", "CRASH (case process.test.calls exit called exit(0))"},
                {"process.test.runs after", "OK"},
            }))
      << driven.err;
  EXPECT_NE(outputOf(driven.err, "process.test.calls exit").find("printed before exit\n"),
            std::string::npos)
      << driven.err;
}

// Reports go to the harness's own copy of standard error, wherever descriptor 2 points now, and
// the exchange runs on descriptors of its own.
TEST(CaseProcess, ReportsAfterACaseClosedOrReopenedLowDescriptorsReachTheDriver) {
  const std::string data = temporaryFile();
  const ProcessResult r = runDriver("descriptors", "-j1", {"FIXTURE_FILE=" + data});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  for (const std::string after : {"a close", "null", "a reopen", "closing three"}) {
    SCOPED_TRACE(after);
    const std::string name = "process.test.fails after " + after;
    EXPECT_EQ(caseLines(r.err)[name], "FAIL") << r.err;
    const std::string output = outputOf(r.err, name);
    EXPECT_NE(output.find("process_fixture.cpp:"), std::string::npos) << r.err;
    EXPECT_NE(output.find(" in (anonymous namespace)::fails()"), std::string::npos) << r.err;
  }
  EXPECT_EQ(readFile(data), "");  // the user's data file got nothing of the harness's
  ::unlink(data.c_str());
}

TEST(CaseProcess, ACaseThatBreaksTheServersDescriptorsIsTheOneReported) {
  const ProcessResult r = runDriver("broken", "-j1");
  EXPECT_EQ(r.exit_code, 1) << r.err;
  const auto lines = caseLines(r.err);
  EXPECT_TRUE(lines.at("process.test.closes every descriptor above two")
                  .starts_with("CRASH (thread ? panic: case process.test.closes every descriptor "
                               "above two closed or replaced the harness's descriptor "))
      << r.err;
  EXPECT_EQ(lines.at("process.test.runs after"), "OK") << r.err;
}

TEST(CaseProcess, WhatACasePrintedBeforeAFaultIsInItsReport) {
  const ProcessResult r = runDriver("print", "-j1");
  const std::string output = outputOf(r.err, "process.test.prints then faults");
  const std::size_t printed = output.find("printed before the fault\n");
  ASSERT_NE(printed, std::string::npos) << r.err;
  EXPECT_LT(printed, output.find("Segmentation fault at address 0x10"));
}

TEST(CaseProcess, AStackOverflowOnAThreadTheCaseStartedIsReported) {
  for (const std::string table : {"std thread", "pthread"}) {
    SCOPED_TRACE(table);
    const ProcessResult r = runTable(table);
    EXPECT_EQ(r.signal, SIGABRT) << r.err;
    EXPECT_TRUE(r.err.starts_with("1/1 process.test.overflows...Segmentation fault at address 0x"))
        << r.err;
    EXPECT_NE(r.err.find(" in (anonymous namespace)::recurse(int)"), std::string::npos) << r.err;
  }
}

TEST(CaseProcess, AProcessACaseStartedEndsWithAKilledDriver) {
  const std::string pid_file = temporaryFile();
  std::vector<std::string> args = {DRIVER, "-j1", FIXTURE};
  std::vector<std::string> env =
      childEnvironment({"VESK_FIXTURE_TABLE=group", "FIXTURE_FILE=" + pid_file});
  const std::vector<char*> argv = execArray(args);
  const std::vector<char*> envp = execArray(env);
  const pid_t run = ::fork();
  if (run == 0) {
    ::execve(DRIVER.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  pid_t left = 0;
  for (int tries = 0; tries < 200 && left == 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::istringstream(readFile(pid_file)) >> left;
  }
  ::kill(run, SIGKILL);
  (void)::waitpid(run, nullptr, 0);
  ASSERT_NE(left, 0);
  EXPECT_TRUE(processEnds(left)) << "process " << left << " outlived the killed driver";
  ::kill(left, SIGKILL);
  ::unlink(pid_file.c_str());
}

// Handlers, mask, limits, alarm, working directory and log threshold a case changes are put back
// before the next case, so how many servers share the cases changes nothing.
TEST(CaseProcess, StateACaseChangesDoesNotReachLaterCasesWhateverTheJobCount) {
  // The fixture's source paths are relative to the source directory.
  struct InSourceDirectory {
    std::filesystem::path before = std::filesystem::current_path();
    InSourceDirectory() { std::filesystem::current_path(VESK_SOURCE_DIR); }
    ~InSourceDirectory() { std::filesystem::current_path(before); }
    InSourceDirectory(const InSourceDirectory&) = delete;
    InSourceDirectory& operator=(const InSourceDirectory&) = delete;
  } in_source_directory;
  const ProcessResult one = runDriver("state", "-j1");
  const auto lines = caseLines(one.err);
  EXPECT_EQ(lines.at("process.test.logs at info and waits"), "OK") << one.err;
  EXPECT_EQ(outputOf(one.err, "process.test.logs at info and waits"), "") << one.err;
  EXPECT_EQ(lines.at("process.test.faults"), "CRASH (Segmentation fault at address 0x?)")
      << one.err;
  EXPECT_EQ(lines.at("process.test.fails"), "FAIL") << one.err;
  // Its source line is read from a relative path, after a case changed the working directory.
  EXPECT_NE(outputOf(one.err, "process.test.fails")
                .find(" in (anonymous namespace)::fails() (tests/fixtures/process_fixture.cpp)\n"
                      "  VESK_TRY(vesk::expect(false));\n"),
            std::string::npos)
      << one.err;
  for (const std::string jobs : {"-j3", "-j64"}) {
    SCOPED_TRACE(jobs);
    EXPECT_EQ(caseLines(runDriver("state", jobs).err), lines);
  }

  const ProcessResult panic = runDriver("panic", "-j1");
  EXPECT_EQ(caseLines(panic.err)["process.test.overflows a counter"],
            "CRASH (thread ? panic: integer overflow)")
      << panic.err;
}

}  // namespace
}  // namespace vesk::testing
