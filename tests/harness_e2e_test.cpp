// The case runner end to end: fixture tables run as real processes, checking the exact bytes on
// standard error, the exit status or signal, and that standard output stays empty.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <string>

#include "run_process.hpp"

namespace vesk::testing {
namespace {

// The fixture without debug information: its traces print in a fixed form, so the runner's own
// lines can be compared byte for byte.
const std::string STRIPPED = VESK_FIXTURE_DIR "/harness_fixture_stripped";

ProcessResult runTable(const std::string& table, ProcessOptions options = {}) {
  options.set_env.push_back("VESK_FIXTURE_TABLE=" + table);
  options.set_env.push_back("TERM=dumb");
  return runProcess(STRIPPED, options);
}

// Replaces each trace (its consecutive entry lines, or the line saying it could not be printed)
// by "<trace>\n", and drops the carriage returns a terminal adds.
std::string collapseTraces(const std::string& text) {
  std::istringstream lines(text);
  std::string line, out;
  bool in_trace = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool entry =
        line.rfind("?\?\?:?:?: 0x", 0) == 0 || line.rfind("Unable to dump stack trace: ", 0) == 0;
    if (entry) {
      if (!in_trace) out += "<trace>\n";
    } else {
      out += line + "\n";
    }
    in_trace = entry;
  }
  if (!text.empty() && text.back() != '\n' && !out.empty()) out.pop_back();
  return out;
}

TEST(Runner, AnnouncesEachCaseAndSummarisesAPassingRun) {
  const ProcessResult r = runTable("pass");
  EXPECT_EQ(r.err,
            "1/2 fixture.test.first...OK\n2/2 fixture.test.second...OK\nAll 2 tests passed.\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

TEST(Runner, ReportsFailuresWithTheirErrorNameAndTraceAndSkipsWithoutOne) {
  const ProcessResult r = runTable("mixed");
  EXPECT_EQ(collapseTraces(r.err),
            "1/4 fixture.test.passes...OK\n"
            "2/4 fixture.test.fails truth...FAIL (TestUnexpectedResult)\n"
            "<trace>\n"
            "3/4 fixture.test.skips...SKIP\n"
            "4/4 fixture.test.fails approx..."
            "actual 1e0, not within absolute tolerance 1e-10 of expected 2e0\n"
            "FAIL (TestExpectedApproxEqAbs)\n"
            "<trace>\n"
            "1 passed; 1 skipped; 2 failed.\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

TEST(Runner, PrintsSinglePrecisionOperandsAtSinglePrecision) {
  const ProcessResult r = runTable("approx");
  EXPECT_NE(r.err.find("2/2 fixture.test.fails approx single..."
                       "actual -2.5e0, not within absolute tolerance 1e-1 of expected 1.5e0\n"
                       "FAIL (TestExpectedApproxEqAbs)\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.exit_code, 1);
}

TEST(Runner, SkippedCasesDoNotFailTheRun) {
  const ProcessResult r = runTable("skip");
  EXPECT_EQ(r.err,
            "1/3 fixture.test.passes...OK\n2/3 fixture.test.skips...SKIP\n"
            "3/3 fixture.test.passes again...OK\n2 passed; 1 skipped; 0 failed.\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Runner, AFailuresTraceHoldsOnlyItsOwnCasesErrorReturns) {
  // Before it, a passing case handled an error of its own; the failure's trace shows just the
  // expectation's return and the case's (each entry is one location line).
  ProcessOptions options;
  options.set_env = {"VESK_FIXTURE_TABLE=handled", "TERM=dumb"};
  const ProcessResult r = runProcess(VESK_FIXTURE_DIR "/harness_fixture", options);
  const std::size_t fail_line = r.err.find("FAIL (TestUnexpectedResult)\n");
  ASSERT_NE(fail_line, std::string::npos) << r.err;
  std::istringstream trace(r.err.substr(fail_line));
  std::size_t entries = 0;
  for (std::string line; std::getline(trace, line);)
    entries += line.find(": 0x") != std::string::npos;
  EXPECT_EQ(entries, 2u) << r.err;
}

TEST(Runner, AnErrorLoggedByAPassingCaseFailsTheRunAfterTheAllPassedLine) {
  const ProcessResult r = runTable("log");
  EXPECT_EQ(r.err,
            "1/1 fixture.test.logs an error...[fixture] (err): something went wrong\nOK\n"
            "All 1 tests passed.\n1 errors were logged.\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(Runner, AnEmptyTablePasses) {
  const ProcessResult r = runTable("empty");
  EXPECT_EQ(r.err, "All 0 tests passed.\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Runner, ABrokenInvariantStopsTheWholeRunWithTheAbortSignal) {
  const ProcessResult r = runTable("stop");
  EXPECT_EQ(maskVarying(collapseTraces(r.err)),
            "1/3 fixture.test.passes...OK\n"
            "2/3 fixture.test.overflows...thread ? panic: integer overflow\n"
            "<trace>\n");
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out, "");
}

TEST(Runner, ANegativeToleranceIsUnreachableCode) {
  const ProcessResult r = runTable("tolerance");
  EXPECT_EQ(maskVarying(collapseTraces(r.err)),
            "1/1 fixture.test.negative tolerance...thread ? panic: reached unreachable code\n"
            "<trace>\n");
  EXPECT_EQ(r.signal, SIGABRT);
}

TEST(Runner, AFaultReportsItsAddressAndAborts) {
  const ProcessResult r = runTable("fault");
  EXPECT_EQ(collapseTraces(r.err),
            "1/1 fixture.test.bad pointer...Segmentation fault at address 0x10\n<trace>\n");
  EXPECT_EQ(r.signal, SIGABRT);
}

TEST(Runner, ExpectEqualPrintsBothValuesInTheFormOfTheirKindAndFailsWithItsOwnError) {
  const ProcessResult r = runTable("equal");
  EXPECT_EQ(
      maskVarying(collapseTraces(r.err)),
      "1/4 fixture.test.strings differ...strings differ at byte 20 (expected 52 bytes, "
      "found 52): expected ...\"aid \\\"fetch C:\\\\tmp\\tnow\\\" at caf\\xc3\\xa9 \"..., "
      "found ...\"aid \\\"fetch C:\\\\tm\\x01\\tnow\\\" at caf\\xc3\\xa9 \"...\n"
      "FAIL (TestExpectedEqual)\n<trace>\n"
      "2/4 fixture.test.sequences differ...sequences differ at index 5 (expected 11 elements, "
      "found 12): expected [..., 2, 3, 4, 5, 6, 7, ...], found [..., 2, 3, 4, -5, 6, 7, ...]\n"
      "FAIL (TestExpectedEqual)\n<trace>\n"
      "3/4 fixture.test.floats differ...expected 3e-1, found 3.0000000000000004e-1\n"
      "FAIL (TestExpectedEqual)\n<trace>\n"
      "4/4 fixture.test.pointers differ...expected 0x?, found null\n"
      "FAIL (TestExpectedEqual)\n<trace>\n"
      "0 passed; 0 skipped; 4 failed.\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(Runner, AnExceptionLeavingACaseFailsItWithItsTypeAndMessageAndTheRunGoesOn) {
  // The first case holds a container on the checking allocator when it throws: unwinding frees
  // it before the leak check, so no leak is reported.
  const ProcessResult r = runTable("throw");
  EXPECT_EQ(collapseTraces(r.err),
            "1/3 fixture.test.throws a runtime error..."
            "uncaught exception of type std::runtime_error: disk full\n"
            "FAIL (UncaughtException)\n<trace>\n"
            "2/3 fixture.test.throws an int...uncaught exception of type int\n"
            "FAIL (UncaughtException)\n<trace>\n"
            "3/3 fixture.test.passes...OK\n"
            "1 passed; 0 skipped; 2 failed.\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

TEST(CommandLine, RefusesAnUnknownArgumentBeforeDoingAnything) {
  for (const auto& args :
       {std::vector<std::string>{"--bogus"}, std::vector<std::string>{"--listen=-", "extra"},
        std::vector<std::string>{"--listen=-x"}}) {
    ProcessOptions options;
    options.args = args;
    const ProcessResult r = runTable("pass", options);
    EXPECT_EQ(maskVarying(collapseTraces(r.err)),
              "thread ? panic: unrecognized command line argument\n<trace>\n");
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_EQ(r.out, "") << "no protocol message may be sent";
  }
}

TEST(CommandLine, RefusesAnArgumentListLargerThanItsBuffer) {
  ProcessOptions options;
  options.args = {std::string(5000, 'a')};
  const ProcessResult r = runTable("pass", options);
  EXPECT_EQ(maskVarying(collapseTraces(r.err)),
            "thread ? panic: unable to parse command line args\n<trace>\n");
  EXPECT_EQ(r.signal, SIGABRT);
}

TEST(TerminalRun, OnATerminalOnlySkipsFailuresAndTheSummaryArePrinted) {
  ProcessOptions options;
  options.stderr_on_terminal = true;
  const ProcessResult r = runTable("mixed", options);
  EXPECT_EQ(collapseTraces(r.err),
            "2/4 fixture.test.fails truth...FAIL (TestUnexpectedResult)\n"
            "<trace>\n"
            "3/4 fixture.test.skips...SKIP\n"
            "actual 1e0, not within absolute tolerance 1e-10 of expected 2e0\n"
            "4/4 fixture.test.fails approx...FAIL (TestExpectedApproxEqAbs)\n"
            "<trace>\n"
            "1 passed; 1 skipped; 2 failed.\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

TEST(TerminalRun, APassingRunOnATerminalPrintsOnlyTheSummary) {
  ProcessOptions options;
  options.stderr_on_terminal = true;
  const ProcessResult r = runTable("pass", options);
  EXPECT_EQ(collapseTraces(r.err), "All 2 tests passed.\n");
  EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
}  // namespace vesk::testing
