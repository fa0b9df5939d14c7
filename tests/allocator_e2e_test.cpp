// The checking allocator's reports end to end: a fixture executable misuses it in one way per run,
// and its standard error must come out byte for byte, with only addresses and thread numbers
// masked and each address record matched by its shape.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>
#include <string_view>

#include "run_process.hpp"

namespace vesk::testing {
namespace {

const std::string fixture_path = std::string(VESK_FIXTURE_DIR) + "/allocator_fixture";

// One source location entry (addresses already masked), with the source line and caret under it
// when the source file could be read.
constexpr std::string_view ENTRY = R"([^\n]*: 0x\? in [^\n]* \([^\n]*\)\n(?:[^\n]*\n[ \t]*\^\n)?)";

// `expected` as a pattern: "{record}" stands for an allocator address record (a line end, then
// its entries), "{stack}" for a stop's stack; all else is literal. How many entries there are is
// up to the symboliser (an inlined call adds one), so only their shape is checked.
std::regex reportPattern(std::string_view expected) {
  std::string pattern;
  while (!expected.empty()) {
    if (expected.starts_with("{record}")) {
      pattern += "\\n(?:" + std::string(ENTRY) + ")+";
      expected.remove_prefix(8);
    } else if (expected.starts_with("{stack}")) {
      pattern += "(?:" + std::string(ENTRY) + ")+";
      expected.remove_prefix(7);
    } else {
      const char c = expected.front();
      if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
      pattern += c == '\n' ? std::string("\\n") : std::string(1, c);
      expected.remove_prefix(1);
    }
  }
  return std::regex(pattern);
}

ProcessResult runTable(const std::string& table) {
  ProcessOptions options;
  options.set_env = {"VESK_FIXTURE_TABLE=" + table, "NO_COLOR=1"};
  options.unset_env = {"CLICOLOR_FORCE"};
  return runProcess(fixture_path, options);
}

// Checks the masked standard error against `expected` and that nothing went to standard output.
void expectReport(const ProcessResult& result, std::string_view expected) {
  EXPECT_EQ(result.out, "");
  const std::string masked = maskVarying(result.err);
  EXPECT_TRUE(std::regex_match(masked, reportPattern(expected)))
      << "standard error (masked):\n"
      << masked << "\nexpected the shape:\n"
      << expected;
}

void expectExit(const ProcessResult& result, int code) {
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_code, code);
}

void expectAbort(const ProcessResult& result) {
  EXPECT_EQ(result.signal, SIGABRT);
}

TEST(CheckingAllocatorReports, AKeptSmallBlockIsReportedOnceAfterTheCaseLine) {
  const ProcessResult result = runTable("leak");
  expectReport(result,
               "1/1 fixture.test.keeps one block...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "All 1 tests passed.\n"
               "1 errors were logged.\n"
               "1 tests leaked memory.\n");
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, AKeptLargeBlockIsReportedAtItsPageAlignedAddress) {
  const ProcessResult result = runTable("large_leak");
  expectReport(result,
               "1/1 fixture.test.keeps a large block...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "All 1 tests passed.\n"
               "1 errors were logged.\n"
               "1 tests leaked memory.\n");
  EXPECT_THAT(result.err, ::testing::ContainsRegex("memory address 0x[0-9a-f]+000 leaked"));
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, EachLeakingCaseIsCountedAndACleanCaseBetweenThemIsNot) {
  const ProcessResult result = runTable("two_leaks");
  expectReport(result,
               "1/3 fixture.test.keeps one block...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "2/3 fixture.test.frees everything...OK\n"
               "3/3 fixture.test.keeps a large block...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "All 3 tests passed.\n"
               "2 errors were logged.\n"
               "2 tests leaked memory.\n");
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, ADoubleFreeIsLoggedWithAllThreeRecordsAndTheCaseGoesOn) {
  const ProcessResult result = runTable("double_free");
  expectReport(result,
               "1/1 fixture.test.frees twice...[gpa] (err): Double free detected. "
               "Allocation: {record} First free: {record} Second free: {record}\n"
               "OK\n"
               "All 1 tests passed.\n"
               "1 errors were logged.\n");
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, AFreeWithTheWrongLengthIsLoggedAndStillFreesTheBlock) {
  const ProcessResult result = runTable("wrong_length");
  expectReport(result,
               "1/1 fixture.test.frees with the wrong length...[gpa] (err): Allocation size 24 "
               "bytes does not match free size 16. Allocation: {record} Free: {record}\n"
               "OK\n"
               "All 1 tests passed.\n"
               "1 errors were logged.\n");
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, AFreeWithTheWrongAlignmentNamesBothAlignmentsInBytes) {
  const ProcessResult result = runTable("wrong_alignment");
  expectReport(result,
               "1/1 fixture.test.frees with the wrong alignment...[gpa] (err): Allocation "
               "alignment 8 does not match free alignment 1. Allocation: {record} Free: {record}\n"
               "OK\n"
               "All 1 tests passed.\n"
               "1 errors were logged.\n");
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, AResizeWithTheWrongLengthIsLoggedAndTheResizeGoesOn) {
  const ProcessResult result = runTable("resize_length");
  expectReport(result,
               "1/1 fixture.test.resizes with the wrong length...[gpa] (err): Allocation size 24 "
               "bytes does not match resize size 16. Allocation: {record} Resize: {record}\n"
               "OK\n"
               "All 1 tests passed.\n"
               "1 errors were logged.\n");
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, ALargeBlockFreedWithTheWrongLengthUsesTheFreeSizeWords) {
  const ProcessResult result = runTable("large_length");
  expectReport(result,
               "1/1 fixture.test.frees a large block with the wrong length...[gpa] (err): "
               "Allocation size 5000 bytes does not match free size 4000. "
               "Allocation: {record} Free: {record}\n"
               "OK\n"
               "All 1 tests passed.\n"
               "1 errors were logged.\n");
  expectExit(result, 1);
}

TEST(CheckingAllocatorReports, RecordsStartInTheCaseAtTheLineThatAllocatedOrFreed) {
  const ProcessResult leak = runTable("leak");
  if (leak.err.find("leaked: \n?\?\?:?:?:") != std::string::npos) {
    GTEST_SKIP() << "this build prints no source locations";
  }
  // Not inside the allocator: the first entry is the case's own allocating line.
  EXPECT_THAT(leak.err,
              ::testing::ContainsRegex("leaked: \n[^\n]*allocator_fixture.cpp:[0-9]+:[0-9]+: "
                                       "0x[0-9a-f]+ in [^\n]*keepsOneBlock"));

  // The allocation's record at the allocating line, the free's at the freeing line after it.
  const ProcessResult wrong_length = runTable("wrong_length");
  const std::regex first_entries(
      "Allocation: \n[^\n]*allocator_fixture.cpp:([0-9]+):[0-9]+: 0x[0-9a-f]+ in [^\n]*"
      "freesWithTheWrongLength[^\n]*\n(?:.|\n)* Free: \n[^\n]*allocator_fixture.cpp:([0-9]+):"
      "[0-9]+: 0x[0-9a-f]+ in [^\n]*freesWithTheWrongLength");
  std::smatch lines;
  ASSERT_TRUE(std::regex_search(wrong_length.err, lines, first_entries)) << wrong_length.err;
  EXPECT_EQ(std::stoi(lines[2].str()), std::stoi(lines[1].str()) + 1);
}

TEST(CheckingAllocatorReports, ResizingAFreedBlockLogsTheDoubleFreeThenStops) {
  const ProcessResult result = runTable("resize_freed");
  expectReport(result,
               "1/2 fixture.test.resizes a freed block...[gpa] (err): Double free detected. "
               "Allocation: {record} First free: {record} Second free: {record}\n"
               "thread ? panic: Unrecoverable double free\n"
               "{stack}");
  expectAbort(result);
}

TEST(CheckingAllocatorReports, FreeingMemoryNeverGivenOutStopsWithInvalidFree) {
  const ProcessResult result = runTable("invalid_free");
  expectReport(result,
               "1/1 fixture.test.frees a block never given out...thread ? panic: Invalid free\n"
               "{stack}");
  expectAbort(result);
}

TEST(CheckingAllocatorReports, FreeingALargeBlockTwiceStopsWithInvalidFree) {
  const ProcessResult result = runTable("large_twice");
  expectReport(result,
               "1/1 fixture.test.frees a large block twice...thread ? panic: Invalid free\n"
               "{stack}");
  expectAbort(result);
}

}  // namespace
}  // namespace vesk::testing
