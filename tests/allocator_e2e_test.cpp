// The checking allocator's reports end to end: a fixture executable misuses it in one way per run,
// and its standard error must come out byte for byte, with only addresses and thread numbers
// masked and each address record matched by its shape.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "run_process.hpp"

namespace vesk::testing {
namespace {

const std::string FIXTURE_PATH = std::string(VESK_FIXTURE_DIR) + "/allocator_fixture";

// Reads one line (without its end) at `pos`; the line end must be there.
std::optional<std::string_view> lineAt(std::string_view text, std::size_t pos) {
  const std::size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) return std::nullopt;
  return text.substr(pos, end - pos);
}

// Consumes one source location entry (addresses already masked) at `pos`: the location line,
// then the source line and a caret under it when the source file could be read.
bool consumeEntry(std::string_view text, std::size_t& pos) {
  const auto line = lineAt(text, pos);
  if (!line || line->find(": 0x? in ") == std::string_view::npos || !line->ends_with(")")) {
    return false;
  }
  pos += line->size() + 1;
  const auto source = lineAt(text, pos);
  if (!source) return true;
  const auto caret = lineAt(text, pos + source->size() + 1);
  if (caret && caret->ends_with("^") && caret->find_first_not_of(" \t") == caret->size() - 1) {
    pos += source->size() + 1 + caret->size() + 1;
  }
  return true;
}

// Whether `text` has the shape `expected`: "{record}" stands for an allocator address record (a
// line end, then its entries), "{stack}" for a stop's stack; all else is literal. How many entries
// there are is up to the symboliser (an inlined call adds one), so only their shape is checked.
// Matched by hand, line by line: a backtracking pattern over a whole report recurses once per
// character and runs out of stack on reports of a few kilobytes.
bool matchesReport(std::string_view text, std::string_view expected) {
  std::size_t pos = 0;
  while (!expected.empty()) {
    const bool record = expected.starts_with("{record}");
    if (record || expected.starts_with("{stack}")) {
      if (record) {
        if (!text.substr(pos).starts_with("\n")) return false;
        ++pos;
      }
      if (!consumeEntry(text, pos)) return false;
      while (consumeEntry(text, pos)) {
      }
      expected.remove_prefix(record ? 8 : 7);
      continue;
    }
    const std::string_view literal = expected.substr(0, expected.find('{'));
    if (literal.empty()) return false;  // a brace that opens neither placeholder
    if (!text.substr(pos).starts_with(literal)) return false;
    pos += literal.size();
    expected.remove_prefix(literal.size());
  }
  return pos == text.size();
}

// The fixture source line named by the entry starting at `pos`, or 0 when that entry is not in
// `function` of the fixture.
int fixtureLineOfFirstEntry(std::string_view text, std::size_t pos, std::string_view function) {
  const auto line = lineAt(text, pos);
  if (!line) return 0;
  constexpr std::string_view FILE = "allocator_fixture.cpp:";
  const std::size_t at = line->find(FILE);
  if (at == std::string_view::npos || line->find(function) == std::string_view::npos) return 0;
  int number = 0;
  const char* first = line->data() + at + FILE.size();
  const auto [end, ec] = std::from_chars(first, line->data() + line->size(), number);
  return ec == std::errc() && *end == ':' ? number : 0;
}

ProcessResult runTable(const std::string& table) {
  ProcessOptions options;
  options.set_env = {"VESK_FIXTURE_TABLE=" + table, "NO_COLOR=1"};
  return runProcess(FIXTURE_PATH, options);
}

// Checks the masked standard error against `expected` and that nothing went to standard output.
void expectReport(const ProcessResult& result, std::string_view expected) {
  EXPECT_EQ(result.out, "");
  const std::string masked = maskVarying(result.err);
  EXPECT_TRUE(matchesReport(masked, expected)) << "standard error (masked):\n"
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

TEST(CheckingAllocatorReports, EachLeakIsReportedAfterItsCaseLineAndEachLeakingCaseCounted) {
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
  // A large block is reported at the start of its own mapping.
  EXPECT_THAT(result.err, ::testing::ContainsRegex("3/3 fixture.test.keeps a large block...OK\n"
                                                   "[^\n]*memory address 0x[0-9a-f]+000 leaked"));
  expectExit(result, 1);
}

// A misuse the allocator survives: one error line with its records, then the case goes on.
TEST(CheckingAllocatorReports, AMisuseItSurvivesIsLoggedWithItsRecordsAndTheCaseGoesOn) {
  const std::pair<std::string, std::string> misuses[] = {
      {"double_free",
       "1/1 fixture.test.frees twice...[gpa] (err): Double free detected. "
       "Allocation: {record} First free: {record} Second free: {record}\n"},
      {"wrong_length",
       "1/1 fixture.test.frees with the wrong length...[gpa] (err): Allocation size 24 "
       "bytes does not match free size 16. Allocation: {record} Free: {record}\n"},
      {"wrong_alignment",
       "1/1 fixture.test.frees with the wrong alignment...[gpa] (err): Allocation "
       "alignment 8 does not match free alignment 1. Allocation: {record} Free: {record}\n"},
      {"resize_length",
       "1/1 fixture.test.resizes with the wrong length...[gpa] (err): Allocation size 24 "
       "bytes does not match resize size 16. Allocation: {record} Resize: {record}\n"},
      {"large_length",
       "1/1 fixture.test.frees a large block with the wrong length...[gpa] (err): "
       "Allocation size 5000 bytes does not match free size 4000. "
       "Allocation: {record} Free: {record}\n"},
  };
  for (const auto& [table, report] : misuses) {
    SCOPED_TRACE(table);
    const ProcessResult result = runTable(table);
    expectReport(result, report + "OK\nAll 1 tests passed.\n1 errors were logged.\n");
    expectExit(result, 1);
  }
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
  const std::string& err = wrong_length.err;
  const std::size_t allocation = err.find("Allocation: \n");
  ASSERT_NE(allocation, std::string::npos) << err;
  const std::size_t free = err.find(" Free: \n", allocation);
  ASSERT_NE(free, std::string::npos) << err;
  const int allocated_at = fixtureLineOfFirstEntry(err, allocation + 13, "freesWithTheWrongLength");
  const int freed_at = fixtureLineOfFirstEntry(err, free + 8, "freesWithTheWrongLength");
  ASSERT_GT(allocated_at, 0) << err;
  EXPECT_EQ(freed_at, allocated_at + 1) << err;
}

TEST(CheckingAllocatorReports, StandardContainersAreCheckedAndALeakNamesTheLineThatFilledIt) {
  // Vectors, strings, maps, lists and shared objects that free everything report nothing; a
  // vector never destroyed is one leak.
  const ProcessResult result = runTable("std_containers");
  expectReport(result,
               "1/2 fixture.test.containers free everything...OK\n"
               "2/2 fixture.test.leaks a vector...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "All 2 tests passed.\n1 errors were logged.\n1 tests leaked memory.\n");
  expectExit(result, 1);
  if (result.err.find("leaked: \n?\?\?:?:?:") != std::string::npos) {
    GTEST_SKIP() << "this build prints no source locations";
  }
  // Among the container's own frames, the case's line; the adapter itself never shows.
  EXPECT_THAT(result.err, ::testing::ContainsRegex("allocator_fixture.cpp:[0-9]+:[0-9]+: "
                                                   "0x[0-9a-f]+ in [^\n]*leaksAVector[^\n]*\n"
                                                   " *numbers->assign\\("));
  EXPECT_EQ(result.err.find("std_allocator.hpp"), std::string::npos) << result.err;
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

// ---------------------------------------------------------------------------------------------
// Ordinary new and delete, through a fixture whose cases use them

#ifndef VESK_SANITIZED

ProcessResult runNewTable(const std::string& table, const std::string& fixture) {
  ProcessOptions options;
  options.set_env = {"VESK_FIXTURE_TABLE=" + table, "NO_COLOR=1"};
  options.time_limit_ms = 60'000;
  return runProcess(std::string(VESK_FIXTURE_DIR) + "/" + fixture, options);
}

ProcessResult runNewTable(const std::string& table) {
  return runNewTable(table, "allocator_new_fixture");
}

bool printsSourceLocations(const ProcessResult& result) {
  return result.err.find("leaked: \n?\?\?:?:?:") == std::string::npos;
}

TEST(OrdinaryNewReports, ALeakThroughNewAVectorMakeUniqueOrAThreadNamesTheLineThatAllocated) {
  const ProcessResult result = runNewTable("leaks");
  expectReport(result,
               "1/5 fixture.test.leaks through new...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "2/5 fixture.test.leaks through a vector...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "3/5 fixture.test.leaks through make_unique...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "4/5 fixture.test.leaks from a thread it started...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "5/5 fixture.test.frees everything...OK\n"
               "All 5 tests passed.\n4 errors were logged.\n4 tests leaked memory.\n");
  expectExit(result, 1);
  if (!printsSourceLocations(result)) GTEST_SKIP() << "this build prints no source locations";
  // Each record holds the case's own line, the one marked in the fixture, among the library's.
  for (const char* function :
       {"leaksThroughNew", "leaksThroughAVector", "leaksThroughMakeUnique", "operator\\(\\)"}) {
    EXPECT_THAT(result.err, ::testing::ContainsRegex(
                                std::string("allocator_new_fixture.cpp:[0-9]+:[0-9]+: 0x[0-9a-f]+ "
                                            "in [^\n]*") +
                                function + "[^\n]*\n[^\n]*// the leaked block\n"))
        << function;
  }
  EXPECT_EQ(result.err.find("ordinary_new.cpp"), std::string::npos) << result.err;
}

TEST(OrdinaryNewReports, DeleteMisusesAreReportedAsTheAllocatorsAre) {
  const ProcessResult misuse = runNewTable("misuse");
  expectReport(misuse,
               "1/2 fixture.test.deletes twice...[gpa] (err): Double free detected. "
               "Allocation: {record} First free: {record} Second free: {record}\nOK\n"
               "2/2 fixture.test.deletes with the wrong size...[gpa] (err): Allocation size 24 "
               "bytes does not match free size 16. Allocation: {record} Free: {record}\nOK\n"
               "All 2 tests passed.\n2 errors were logged.\n");
  expectExit(misuse, 1);
  if (misuse.err.find("Second free: \n?\?\?:?:?:") == std::string::npos) {
    // Both frees' records start at the line that said delete, not inside the operator.
    for (const char* record : {"First free: ", "Second free: "}) {
      EXPECT_THAT(misuse.err, ::testing::ContainsRegex(
                                  std::string(record) +
                                  "\n[^\n]*allocator_new_fixture.cpp:[0-9]+:[0-9]+: "
                                  "0x[0-9a-f]+ in [^\n]*deletesTwice[^\n]*\n *drop\\(widget\\);"))
          << record;
    }
  }

  const ProcessResult never = runNewTable("never_allocated");
  expectReport(never,
               "1/1 fixture.test.deletes what was never allocated...thread ? panic: Invalid free\n"
               "{stack}");
  expectAbort(never);
}

TEST(OrdinaryNewReports, TheStandardLibrarysOwnStateIsNotTheCasesLeak) {
  // Streams and their number formatting (and the state they keep: a user word, unsynchronised
  // I/O), locales, exceptions, threads, the random device,
  // regular expressions and filesystem paths, each used for the first time inside a case.
  const ProcessResult result = runNewTable("standard_library");
  EXPECT_EQ(result.err,
            "1/7 fixture.test.prints to the standard streams...err 7\nOK\n"
            "2/7 fixture.test.uses locales...OK\n"
            "3/7 fixture.test.throws and catches...OK\n"
            "4/7 fixture.test.starts and joins a thread...OK\n"
            "5/7 fixture.test.draws from the random device...OK\n"
            "6/7 fixture.test.matches a regular expression...OK\n"
            "7/7 fixture.test.builds a filesystem path...OK\n"
            "All 7 tests passed.\n");
  EXPECT_EQ(result.out, "out 42 1.5 1\n");
  expectExit(result, 0);
}

TEST(OrdinaryNewReports, BlocksCrossingACasesEdgeGoBackToTheAllocatorThatHandedThemOut) {
  // Freed during a case though made before it, or kept past the case that made it (a leak there)
  // and freed by the next: neither is an invalid free, and the process ends normally.
  const ProcessResult result = runNewTable("crossing");
  expectReport(result,
               "1/2 fixture.test.frees a block made before it and keeps one...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "2/2 fixture.test.frees a block an earlier case kept...OK\n"
               "All 2 tests passed.\n1 errors were logged.\n1 tests leaked memory.\n");
  expectExit(result, 1);
}

TEST(OrdinaryNewReports, ACaseOrAWholeExecutableCanOptOut) {
  // The first two cases leave blocks made unchecked; the third, checked again, leaks.
  const ProcessResult cases = runNewTable("opt_out");
  expectReport(cases,
               "1/3 fixture.test.opts out for the rest of the case...OK\n"
               "2/3 fixture.test.opts out in a scope...OK\n"
               "3/3 fixture.test.leaks through new...OK\n"
               "[gpa] (err): memory address 0x? leaked: {record}\n"
               "All 3 tests passed.\n1 errors were logged.\n1 tests leaked memory.\n");
  expectExit(cases, 1);

  const ProcessResult executable = runNewTable("leaks", "allocator_new_fixture_unchecked");
  EXPECT_EQ(executable.err,
            "1/5 fixture.test.leaks through new...OK\n"
            "2/5 fixture.test.leaks through a vector...OK\n"
            "3/5 fixture.test.leaks through make_unique...OK\n"
            "4/5 fixture.test.leaks from a thread it started...OK\n"
            "5/5 fixture.test.frees everything...OK\n"
            "All 5 tests passed.\n");
  expectExit(executable, 0);
}

TEST(OrdinaryNewReports, TenMillionPairsInOneCaseFitUnderAOneGibibyteAddressSpace) {
  // Through new and through the allocator interface; bookkeeping kept for every allocation
  // (about 200 bytes each) would need twice the limit.
  const ProcessResult result = runNewTable("pairs");
  EXPECT_EQ(result.err,
            "1/3 fixture.test.limits the address space...OK\n"
            "2/3 fixture.test.makes ten million pairs through new...OK\n"
            "3/3 fixture.test.makes ten million pairs through the allocator...OK\n"
            "All 3 tests passed.\n");
  expectExit(result, 0);
}

#endif

}  // namespace
}  // namespace vesk::testing
