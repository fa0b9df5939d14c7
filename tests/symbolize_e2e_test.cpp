// Source locations in traces, end to end: the trace_sites fixture fails, stops and faults at
// places marked "// @name" in its source, and these tests check that every printed entry names
// the marked file, line and column, shows the source line with a caret, and that the stripped,
// the uncompressed and the coloured variants print what they should.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_process.hpp"
#include "trace_entry.hpp"

namespace {

using vesk::testing::maskVarying;
using vesk::testing::parseTraceEntry;
using vesk::testing::ProcessOptions;
using vesk::testing::ProcessResult;
using vesk::testing::runProcess;
using vesk::testing::TraceEntry;

const std::string FIXTURE_DIR = VESK_FIXTURE_DIR;
const std::string FIXTURE_SOURCE = VESK_FIXTURE_SOURCE;
const std::string COMPRESSED_FIXTURE = FIXTURE_DIR + "/trace_sites";
const std::string PLAIN_FIXTURE = FIXTURE_DIR + "/trace_sites_plain";
const std::string STRIPPED_FIXTURE = FIXTURE_DIR + "/trace_sites_stripped";
const std::string PORTABLE_PC_FIXTURE = FIXTURE_DIR + "/trace_sites_portable_pc";

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a terminal's line ends
    lines.push_back(line);
  }
  return lines;
}

// A line of the fixture source that a trace must point at.
struct Site {
  int line = 0;
  std::string text;

  // The 1-based byte column of `token` on this line, plus `offset`.
  int column(const std::string& token, int offset = 0) const {
    const auto at = text.find(token);
    EXPECT_NE(at, std::string::npos) << token << " not on line " << line;
    return static_cast<int>(at) + 1 + offset;
  }
};

// The marked lines of the fixture, by marker name ("@fail-tail" -> its line).
const std::map<std::string, Site>& sites() {
  static const std::map<std::string, Site> MARKED = [] {
    std::map<std::string, Site> found;
    const std::vector<std::string> lines = readLines(FIXTURE_SOURCE);
    // A marker is "// @name" at the end of its line.
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::size_t at = lines[i].rfind("// @");
      if (at == std::string::npos) continue;
      std::string name = lines[i].substr(at + 3);
      name.erase(name.find_last_not_of(" \t") + 1);
      if (name.find_first_not_of("@abcdefghijklmnopqrstuvwxyz-") != std::string::npos) continue;
      found[name] = Site{static_cast<int>(i) + 1, lines[i]};
    }
    return found;
  }();
  return MARKED;
}

const Site& site(const std::string& name) {
  const auto it = sites().find(name);
  if (it == sites().end()) {
    ADD_FAILURE() << "no marker " << name << " in " << FIXTURE_SOURCE;
    static const Site NONE;
    return NONE;
  }
  return it->second;
}

// The line of `path` that contains `text`, found by reading the file.
Site lineContaining(const std::string& path, const std::string& text) {
  const std::vector<std::string> lines = readLines(path);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::string::npos) return Site{static_cast<int>(i) + 1, lines[i]};
  }
  ADD_FAILURE() << "no line with " << text << " in " << path;
  return {};
}

// One printed source location entry, with the two lines after it.
struct Entry {
  bool located = false;
  std::string file;
  int line = 0;
  int column = 0;
  std::string function;
  std::string unit;
  std::string next;       // the line after the entry: its source line when there is one
  std::string next_next;  // and the caret line
};

bool isEntryLine(const std::string& line) {
  return parseTraceEntry(line).has_value();
}

// The entries among `lines[begin, end)`.
std::vector<Entry> entriesIn(const std::vector<std::string>& lines, std::size_t begin,
                             std::size_t end) {
  std::vector<Entry> entries;
  for (std::size_t i = begin; i < end && i < lines.size(); ++i) {
    const std::optional<TraceEntry> parsed = parseTraceEntry(lines[i]);
    if (!parsed) continue;
    Entry e;
    e.located = parsed->located;
    e.file = parsed->file;
    e.line = parsed->line;
    e.column = parsed->column;
    e.function = parsed->function;
    e.unit = parsed->unit;
    if (i + 1 < lines.size()) e.next = lines[i + 1];
    if (i + 2 < lines.size()) e.next_next = lines[i + 2];
    entries.push_back(e);
  }
  return entries;
}

// The entries printed after the first line containing `header`, up to the next line that is
// neither an entry nor part of one (a runner line or the summary).
std::vector<Entry> entriesAfter(const std::vector<std::string>& lines, const std::string& header) {
  std::size_t start = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(header) != std::string::npos) {
      start = i + 1;
      break;
    }
  }
  EXPECT_NE(start, lines.size()) << "no line with " << header;
  // A runner line ("{i}/{n} ...") or the summary ends the trace.
  const auto boundary = [](const std::string& line) {
    const std::size_t digits = line.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos) return line.starts_with("All ");
    return line[digits] == '/' || line.compare(digits, 8, " passed;") == 0;
  };
  std::size_t end = start;
  while (end < lines.size() && !boundary(lines[end]))
    ++end;
  return entriesIn(lines, start, end);
}

ProcessResult runScenario(const std::string& exe, const std::string& scenario,
                          std::vector<std::string> env = {}) {
  ProcessOptions options;
  options.set_env = std::move(env);
  options.set_env.push_back("VESK_TRACE_SCENARIO=" + scenario);
  return runProcess(exe, options);
}

// A run of `scenario` on the fixture, and the entries it printed after the line containing
// `header`, in its standard error with addresses and thread numbers masked when `masked`.
struct Traced {
  ProcessResult run;
  std::vector<Entry> entries;
};

Traced traceOf(const std::string& scenario, const std::string& header, bool masked = false) {
  Traced traced{runScenario(COMPRESSED_FIXTURE, scenario), {}};
  traced.entries =
      entriesAfter(splitLines(masked ? maskVarying(traced.run.err) : traced.run.err), header);
  return traced;
}

// The caret line expected under `column` of `source`: tabs kept, one space per character.
std::string caretUnder(const std::string& source, int column) {
  std::string caret;
  for (int i = 0; i + 1 < column; ++i) {
    const auto c = static_cast<unsigned char>(source[static_cast<std::size_t>(i)]);
    if (c == '\t') {
      caret += '\t';
    } else if ((c & 0xC0) != 0x80) {
      caret += ' ';
    }
  }
  return caret + "^";
}

// Checks that `entry` names `s` of the fixture at `column`, in a function whose name contains
// `function`, and shows the line with a caret under the column.
void expectAtSite(const Entry& entry, const Site& s, int column, const std::string& function) {
  EXPECT_TRUE(entry.located);
  EXPECT_EQ(entry.file, FIXTURE_SOURCE);
  EXPECT_EQ(entry.line, s.line) << s.text;
  EXPECT_EQ(entry.column, column) << s.text;
  EXPECT_NE(entry.function.find(function), std::string::npos) << entry.function;
  EXPECT_EQ(entry.unit, FIXTURE_SOURCE);
  EXPECT_EQ(entry.next, s.text);
  EXPECT_EQ(entry.next_next, caretUnder(s.text, column));
}

// Checks that `entry` points at `token` (moved on by `offset` columns) on the line of the fixture
// marked `marker`, inside a function whose name contains `function`.
void expectAtMarker(const Entry& entry, const std::string& marker, const std::string& token,
                    const std::string& function, int offset = 0) {
  SCOPED_TRACE(marker);
  const Site& s = site(marker);
  expectAtSite(entry, s, s.column(token, offset), function);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The header of the section called `name` in the ELF `image`, if there is one.
std::optional<Elf64_Shdr> sectionOf(const std::string& image, const std::string& name) {
  if (image.size() < sizeof(Elf64_Ehdr)) return std::nullopt;
  Elf64_Ehdr header;
  std::memcpy(&header, image.data(), sizeof header);
  auto section = [&](std::size_t i) {
    Elf64_Shdr s;
    std::memcpy(&s, image.data() + header.e_shoff + i * sizeof s, sizeof s);
    return s;
  };
  const Elf64_Shdr names = section(header.e_shstrndx);
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf64_Shdr s = section(i);
    if (image.data() + names.sh_offset + s.sh_name == name) return s;
  }
  return std::nullopt;
}

// Whether the ELF file at `path` has a .debug_info section, and whether it is compressed.
struct DebugInfoSection {
  bool present = false;
  bool compressed = false;
};

DebugInfoSection debugInfoOf(const std::string& path) {
  const std::optional<Elf64_Shdr> info = sectionOf(readFile(path), ".debug_info");
  return DebugInfoSection{info.has_value(), info && (info->sh_flags & SHF_COMPRESSED) != 0};
}

// ---------------------------------------------------------------------------------------------
// Error-return traces

TEST(ErrorReturnTrace, NamesTheExpectationsReturnThenTheCaseLine) {
  const ProcessResult run = runScenario(COMPRESSED_FIXTURE, "fail");
  ASSERT_EQ(run.exit_code, 1) << run.err;
  const auto lines = splitLines(run.err);
  const auto entries = entriesAfter(lines, "trace.expectation...FAIL (TestUnexpectedResult)");
  ASSERT_EQ(entries.size(), 2u) << run.err;

  // The expectation's own return statement, found in its source by what it says.
  ASSERT_TRUE(endsWith(entries[0].file, "/runner/expect.cpp")) << entries[0].file;
  const Site expect_return =
      lineContaining(entries[0].file, "VESK_FAIL(Error::TestUnexpectedResult)");
  EXPECT_EQ(entries[0].line, expect_return.line);
  EXPECT_EQ(entries[0].column, expect_return.column("VESK_FAIL"));
  EXPECT_EQ(entries[0].function, "vesk::expect(bool)");
  EXPECT_EQ(entries[0].unit, entries[0].file);
  EXPECT_EQ(entries[0].next, expect_return.text);

  expectAtMarker(entries[1], "@expect-call", "VESK_TRY", "failsExpectation");
}

TEST(ErrorReturnTrace, NamesTheFailingStatementOfTwoInOneFunction) {
  const ProcessResult run = runScenario(COMPRESSED_FIXTURE, "fail");
  const auto lines = splitLines(run.err);

  const auto first = entriesAfter(lines, "trace.first of two...FAIL (OutOfMemory)");
  ASSERT_EQ(first.size(), 2u) << run.err;
  expectAtMarker(first[0], "@fail-negative", "VESK_FAIL", "classify");
  expectAtMarker(first[1], "@classify-negative", "VESK_TRY", "failsFirstOfTwo");

  const auto second = entriesAfter(lines, "trace.second of two...FAIL (Unexpected)");
  ASSERT_EQ(second.size(), 2u) << run.err;
  expectAtMarker(second[0], "@fail-large", "VESK_FAIL", "classify");
  expectAtMarker(second[1], "@classify-large", "VESK_TRY", "failsSecondOfTwo");
}

TEST(ErrorReturnTrace, NamesAFailureInTailPositionAndOneInsideAnInlinedFunction) {
  const ProcessResult run = runScenario(COMPRESSED_FIXTURE, "fail");
  const auto lines = splitLines(run.err);

  // The case passes the result on without recording: one entry, the failing statement.
  const auto tail = entriesAfter(lines, "trace.tail position...FAIL (Unexpected)");
  ASSERT_EQ(tail.size(), 1u) << run.err;
  expectAtMarker(tail[0], "@fail-tail", "VESK_FAIL", "failsLast");

  // The inlined function's statement keeps its own location, and its caller records its own.
  const auto inlined = entriesAfter(lines, "trace.inlined...FAIL (Unexpected)");
  ASSERT_EQ(inlined.size(), 2u) << run.err;
  expectAtMarker(inlined[0], "@fail-inlined", "VESK_FAIL", "failsInlined");
  expectAtMarker(inlined[1], "@inlined-call", "VESK_TRY", "failsThroughInlined");
}

TEST(ErrorReturnTrace, ShowsTheOldestThirtyTwoSitesThenHowManyWereSkipped) {
  const ProcessResult run = runScenario(COMPRESSED_FIXTURE, "deep");
  EXPECT_EQ(run.exit_code, 1) << run.err;
  const auto lines = splitLines(run.err);
  const auto entries = entriesAfter(lines, "trace.deep...FAIL (Unexpected)");
  ASSERT_EQ(entries.size(), 32u) << run.err;
  expectAtMarker(entries[0], "@deep-fail", "VESK_FAIL", "descend");
  for (std::size_t i = 1; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    expectAtMarker(entries[i], "@deep-pass-up", "VESK_TRY", "descend");
  }
  const auto skipped =
      std::find(lines.begin(), lines.end(), "(8 additional stack frames skipped...)");
  ASSERT_NE(skipped, lines.end()) << run.err;
  // It closes the trace: the summary follows.
  ASSERT_NE(skipped + 1, lines.end());
  EXPECT_EQ(skipped[1], "0 passed; 0 skipped; 1 failed.");
}

TEST(ErrorReturnTrace, SitesTakenByACallNameTheSameStatementsAsTheInstructionForm) {
  for (const std::string scenario : {"fail", "deep"}) {
    SCOPED_TRACE(scenario);
    const ProcessResult instruction = runScenario(COMPRESSED_FIXTURE, scenario);
    const ProcessResult call = runScenario(PORTABLE_PC_FIXTURE, scenario);
    ASSERT_GE(entriesIn(splitLines(instruction.err), 0, SIZE_MAX).size(), 8u) << instruction.err;
    EXPECT_EQ(maskVarying(call.err), maskVarying(instruction.err));
  }
}

TEST(SourceLocation, CaretKeepsTabsAndCountsCharactersNotBytes) {
  const ProcessResult run = runScenario(COMPRESSED_FIXTURE, "fail");
  const auto lines = splitLines(run.err);

  const auto tabbed = entriesAfter(lines, "trace.tabbed...FAIL (Unexpected)");
  ASSERT_EQ(tabbed.size(), 1u) << run.err;
  ASSERT_EQ(site("@fail-tabbed").text.front(), '\t');
  expectAtMarker(tabbed[0], "@fail-tabbed", "VESK_FAIL", "failsOnTabbedLine");
  EXPECT_EQ(tabbed[0].next_next.front(), '\t');

  // Two three-byte arrows stand before the column: the caret moves two places, not six.
  const auto wide = entriesAfter(lines, "trace.wide...FAIL (Unexpected)");
  ASSERT_EQ(wide.size(), 1u) << run.err;
  const Site& wide_site = site("@fail-wide");
  const int column = wide_site.column("VESK_FAIL");
  expectAtSite(wide[0], wide_site, column, "failsAfterWideCharacters");
  EXPECT_EQ(wide[0].next_next.size(), static_cast<std::size_t>(column - 4));
}

TEST(SourceLocation, NamesTheLambdaAFailureHappenedIn) {
  const ProcessResult run = runScenario(COMPRESSED_FIXTURE, "fail");
  const auto entries = entriesAfter(splitLines(run.err), "trace.lambda...FAIL (Unexpected)");
  ASSERT_EQ(entries.size(), 2u) << run.err;
  expectAtMarker(entries[0], "@fail-lambda", "VESK_FAIL", "failsInALambda()::{lambda(int)#1}");
  expectAtMarker(entries[1], "@lambda-call", "VESK_TRY", "failsInALambda()");
}

// ---------------------------------------------------------------------------------------------
// Stop reports

TEST(StopReport, StartsAtTheStatementThatStopped) {
  const auto [run, entries] =
      traceOf("stop", "1/1 trace.stop...thread ? panic: stop at a known place", true);
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 3u) << run.err;

  // Nothing of the stop machinery comes first: the first entry is the call of the stop.
  expectAtMarker(entries[0], "@stop-site", "panic(", "stopsHere", 5);
  expectAtMarker(entries[1], "@stop-call", "stopsHere(", "stops", 9);
  EXPECT_TRUE(endsWith(entries[2].file, "/runner/run_case.cpp")) << entries[2].file;
  for (const Entry& e : entries) {
    EXPECT_FALSE(endsWith(e.file, "/src/vesk_base.cpp")) << e.function;
    EXPECT_FALSE(endsWith(e.file, "/runner/stop.cpp")) << e.function;
  }
}

TEST(StopReport, PrintsTheErrorTraceBeingHandledBeforeTheStack) {
  const auto [run, entries] =
      traceOf("stop-trace", "1/1 trace.stop with trace...thread ? panic: ", true);
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 3u) << run.err;

  expectAtMarker(entries[0], "@fail-large", "VESK_FAIL", "classify");
  // The stack: the stop's call, then straight to the harness (no duplicate of the function).
  expectAtMarker(entries[1], "@stop-trace-site", "panicWithTrace(", "stopsWhileHandlingAnError",
                 14);
  EXPECT_TRUE(endsWith(entries[2].file, "/runner/run_case.cpp")) << run.err;
}

TEST(StopReport, ShowsALambdaBodyInlinedIntoItsFunctionPointerForm) {
  const auto [run, entries] =
      traceOf("lambda-stop", "trace.stop in a lambda...thread ? panic: ", true);
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 3u) << run.err;
  // The lambda's body, then the conversion's static function it was inlined into, at the same
  // address, then the call through the pointer.
  expectAtMarker(entries[0], "@lambda-stop-site", "panic(", "operator()", 5);
  EXPECT_NE(entries[1].function.find("{lambda()#1}::_FUN"), std::string::npos) << run.err;
  EXPECT_EQ(entries[1].file, FIXTURE_SOURCE);
  expectAtMarker(entries[2], "@lambda-stop-call", "stop(", "stopsInALambda", 4);
}

// ---------------------------------------------------------------------------------------------
// Fault reports

TEST(FaultReport, StartsAtTheFaultingInstructionAndKeepsTheCallerOfALeaf) {
  const auto [run, entries] =
      traceOf("fault", "1/1 trace.fault...Segmentation fault at address 0x0");
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 2u) << run.err;
  expectAtMarker(entries[0], "@fault-site", " = 1", "writesThroughNull", 1);
  // The faulting function keeps no frame of its own; the harness that called it still shows.
  EXPECT_TRUE(endsWith(entries[1].file, "/runner/run_case.cpp")) << run.err;
  EXPECT_NE(entries[1].function.find("vesk::runCase"), std::string::npos) << run.err;
}

TEST(FaultReport, ATrapStartsAtTheTrapAndSkipsNothingAboveIt) {
  const auto [run, entries] = traceOf("trap", "trace.trap...Illegal instruction at address 0x");
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 2u) << run.err;
  expectAtMarker(entries[0], "@trap-site", "__builtin_trap(", "trapsAfterACall()", 14);
  // A part the compiler moved out of line is still named as its function.
  EXPECT_EQ(entries[0].function.find("clone"), std::string::npos) << entries[0].function;
  EXPECT_NE(entries[1].function.find("vesk::runCase"), std::string::npos) << run.err;
}

TEST(FaultReport, FollowsANullFunctionPointerBackToItsCall) {
  const auto [run, entries] =
      traceOf("null-call", "1/1 trace.null call...Segmentation fault at address 0x0");
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 2u) << run.err;
  expectAtMarker(entries[0], "@null-call-site", "null_procedure(", "callsNull", 14);
  EXPECT_NE(entries[1].function.find("vesk::runCase"), std::string::npos) << run.err;
}

TEST(FaultReport, KeepsTheCallerOfAFaultInsideTheCLibrary) {
  const auto [run, entries] =
      traceOf("libc-fault", "1/1 trace.fault in the C library...Segmentation fault at address");
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 3u) << run.err;
  // The C library's routine has no debug information of ours; its caller follows at once.
  EXPECT_FALSE(entries[0].located);
  expectAtMarker(entries[1], "@libc-fault-site", "strlen(", "faultsInTheCLibrary", 6);
  EXPECT_NE(entries[2].function.find("vesk::runCase"), std::string::npos) << run.err;
}

TEST(FaultReport, ReportsAStackOverflowWithTheRecursion) {
  const auto [run, entries] =
      traceOf("overflow", "1/1 trace.overflow...Segmentation fault at address");
  EXPECT_EQ(run.signal, SIGABRT);
  ASSERT_GE(entries.size(), 32u) << run.err;
  // Where in the recursing function the stack ran out varies; the frames below it do not.
  EXPECT_NE(entries[0].function.find("recurse"), std::string::npos) << entries[0].function;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    expectAtMarker(entries[i], "@recurse-site", "recurse(", "recurse", 7);
  }
}

// ---------------------------------------------------------------------------------------------
// Address records of the checking allocator

TEST(AddressRecord, LeakRecordStartsAtTheAllocatingStatement) {
  const auto [run, entries] = traceOf("leak", "[gpa] (err): memory address 0x");
  EXPECT_EQ(run.exit_code, 1) << run.err;
  ASSERT_GE(entries.size(), 2u) << run.err;
  expectAtMarker(entries[0], "@leak-site", "VESK_TRY", "leaks");
  EXPECT_NE(entries[1].function.find("vesk::runCase"), std::string::npos) << run.err;
}

// ---------------------------------------------------------------------------------------------
// Variants of the debug information

TEST(DebugInfo, CompressedAndUncompressedBuildsPrintTheSameEntries) {
  // Guards the comparison itself: the two builds really differ in their sections.
  ASSERT_TRUE(debugInfoOf(COMPRESSED_FIXTURE).compressed);
  ASSERT_TRUE(debugInfoOf(PLAIN_FIXTURE).present);
  ASSERT_FALSE(debugInfoOf(PLAIN_FIXTURE).compressed);

  for (const std::string scenario : {"fail", "stop", "fault", "leak"}) {
    SCOPED_TRACE(scenario);
    const ProcessResult compressed = runScenario(COMPRESSED_FIXTURE, scenario);
    const ProcessResult plain = runScenario(PLAIN_FIXTURE, scenario);
    const auto entries = entriesIn(splitLines(compressed.err), 0, SIZE_MAX);
    EXPECT_GE(entries.size(), 3u) << compressed.err;
    // Source lines are shown, in both builds alike.
    for (const Entry& e : entries) {
      if (e.located) {
        EXPECT_FALSE(e.next.empty() || isEntryLine(e.next)) << e.function;
      }
    }
    EXPECT_EQ(maskVarying(compressed.err), maskVarying(plain.err));
  }
}

TEST(DebugInfo, StrippedExecutableSaysItCannotOpenTheDebugInfo) {
  ASSERT_FALSE(debugInfoOf(STRIPPED_FIXTURE).present);
  const std::string dump =
      "Unable to dump stack trace: Unable to open debug info: MissingDebugInfo";

  const ProcessResult failing = runScenario(STRIPPED_FIXTURE, "fail");
  EXPECT_EQ(failing.exit_code, 1);
  const auto lines = splitLines(failing.err);
  std::size_t failures = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("...FAIL (") == std::string::npos) continue;
    ++failures;
    ASSERT_LT(i + 1, lines.size());
    EXPECT_EQ(lines[i + 1], dump);
  }
  EXPECT_EQ(failures, 8u) << failing.err;
  EXPECT_EQ(entriesIn(lines, 0, SIZE_MAX).size(), 0u) << failing.err;

  // A stop with an error trace: one message for the trace, one for the stack.
  const ProcessResult stop = runScenario(STRIPPED_FIXTURE, "stop-trace");
  EXPECT_EQ(stop.signal, SIGABRT);
  EXPECT_TRUE(endsWith(stop.err, "panic: stop with an error\n" + dump + "\n" + dump + "\n"))
      << stop.err;

  const ProcessResult leak = runScenario(STRIPPED_FIXTURE, "leak");
  EXPECT_NE(leak.err.find(" leaked: \nUnable to print stack trace: Unable to open debug info: "
                          "MissingDebugInfo\n"),
            std::string::npos)
      << leak.err;
}

TEST(DebugInfo, UnreadableDebugInfoIsReportedByName) {
  // The address ranges of the units become garbage: reading them fails while opening.
  std::string image = readFile(PLAIN_FIXTURE);
  const std::optional<Elf64_Shdr> found = sectionOf(image, ".debug_rnglists");
  ASSERT_TRUE(found.has_value());
  const Elf64_Shdr ranges = *found;  // NOLINT(bugprone-unchecked-optional-access): asserted above
  ASSERT_EQ(ranges.sh_flags & SHF_COMPRESSED, 0u);
  image.replace(ranges.sh_offset, ranges.sh_size, ranges.sh_size, '\xff');
  const std::string broken = ::testing::TempDir() + "/trace_sites_broken";
  {
    std::ofstream out(broken, std::ios::binary | std::ios::trunc);
    out << image;
  }
  std::filesystem::permissions(broken, std::filesystem::perms::owner_all);

  const ProcessResult run = runScenario(broken, "fail");
  std::filesystem::remove(broken);
  EXPECT_EQ(run.exit_code, 1);
  const auto lines = splitLines(run.err);
  const auto failed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("trace.expectation...FAIL (TestUnexpectedResult)") != std::string::npos;
  });
  ASSERT_NE(failed, lines.end()) << run.err;
  ASSERT_NE(failed + 1, lines.end());
  EXPECT_EQ(failed[1], "Unable to dump stack trace: Unable to open debug info: InvalidDebugInfo");
}

// ---------------------------------------------------------------------------------------------
// Colours

const std::string BOLD = "\x1b[1m";
const std::string CARET_COLOUR = "\x1b[1;32m^\x1b[0m";

TEST(Colours, ForcedColoursMarkTheLocationAndTheCaret) {
  const ProcessResult run = runScenario(COMPRESSED_FIXTURE, "fail", {"CLICOLOR_FORCE=1"});
  const Site& call = site("@expect-call");
  const std::string location = BOLD + FIXTURE_SOURCE + ":" + std::to_string(call.line) + ":" +
                               std::to_string(call.column("VESK_TRY")) + "\x1b[0m: \x1b[2m0x";
  EXPECT_NE(run.err.find(location), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("\n" + call.text + "\n"), std::string::npos);
  EXPECT_NE(run.err.find(CARET_COLOUR + "\n"), std::string::npos);

  // NO_COLOR wins over a forced colour.
  const ProcessResult plain =
      runScenario(COMPRESSED_FIXTURE, "fail", {"CLICOLOR_FORCE=1", "NO_COLOR=1"});
  EXPECT_EQ(plain.err.find('\x1b'), std::string::npos) << plain.err;
  EXPECT_EQ(maskVarying(plain.err), maskVarying(runScenario(COMPRESSED_FIXTURE, "fail").err));
}

TEST(Colours, ATerminalGetsColoursUnlessItsTermIsDumbOrEmpty) {
  ProcessOptions options;
  options.stderr_on_terminal = true;
  options.set_env = {"VESK_TRACE_SCENARIO=fail", "TERM=xterm-256color"};
  const ProcessResult coloured = runProcess(COMPRESSED_FIXTURE, options);
  EXPECT_NE(coloured.err.find(BOLD + FIXTURE_SOURCE + ":"), std::string::npos) << coloured.err;
  EXPECT_NE(coloured.err.find(CARET_COLOUR), std::string::npos);

  const auto piped = runScenario(COMPRESSED_FIXTURE, "fail");
  // A terminal that takes no escape sequences: TERM "dumb", or empty as good as unset.
  for (const char* term : {"TERM=dumb", "TERM="}) {
    SCOPED_TRACE(term);
    options.set_env = {"VESK_TRACE_SCENARIO=fail", term};
    const ProcessResult plain = runProcess(COMPRESSED_FIXTURE, options);
    const auto lines = splitLines(plain.err);
    EXPECT_EQ(entriesIn(lines, 0, SIZE_MAX).size(),
              entriesIn(splitLines(piped.err), 0, SIZE_MAX).size())
        << plain.err;
    for (const std::string& line : lines) {
      if (line.find(FIXTURE_SOURCE) != std::string::npos || line.find('^') != std::string::npos) {
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Files read

// The files a run of `scenario` opens or tries to open, apart from the shared libraries the
// dynamic linker loads; empty with `ok` false when strace is not available or may not trace
// (a container that refuses ptrace leaves its log empty: even the dynamic linker opens files).
std::set<std::string> filesOpened(const std::string& scenario, bool& ok) {
  ok = std::filesystem::exists("/usr/bin/strace");
  if (!ok) return {};
  const std::string log = ::testing::TempDir() + "/trace_sites_" + scenario + ".strace";
  ProcessOptions options;
  options.args = {"-f", "-qq", "-e", "trace=open,openat,openat2", "-o", log, COMPRESSED_FIXTURE};
  options.set_env = {"VESK_TRACE_SCENARIO=" + scenario};
  runProcess("/usr/bin/strace", options);
  const std::vector<std::string> lines = readLines(log);
  ok = !lines.empty();
  std::set<std::string> files;
  for (const std::string& line : lines) {
    // open("path", ...), openat(AT_FDCWD, "path", ...) or openat2(...): the first quoted text.
    const std::size_t call = line.find("open");
    const std::size_t quote = line.find('"', call);
    const std::size_t close = line.find('"', quote + 1);
    if (call == std::string::npos || quote == std::string::npos || close == std::string::npos) {
      continue;
    }
    const std::string path = line.substr(quote + 1, close - quote - 1);
    if (path == "/etc/ld.so.cache" || path.find(".so") != std::string::npos) continue;
    files.insert(path);
  }
  std::filesystem::remove(log);
  return files;
}

std::string joined(const std::set<std::string>& paths) {
  std::string text;
  for (const std::string& path : paths)
    text += path + "\n";
  return text;
}

TEST(FilesRead, APassingRunOpensNothingAndAFailingOneOnlyItsImageAndSources) {
  bool ok = false;
  const std::set<std::string> passing = filesOpened("pass", ok);
  if (!ok) GTEST_SKIP() << "strace is not installed or may not trace here";
  EXPECT_TRUE(passing.empty()) << joined(passing);

  const std::set<std::string> failing = filesOpened("fail", ok);
  EXPECT_TRUE(failing.contains("/proc/self/exe")) << joined(failing);
  EXPECT_TRUE(failing.contains(FIXTURE_SOURCE));
  for (const std::string& path : failing) {
    EXPECT_TRUE(path == "/proc/self/exe" || endsWith(path, ".cpp") || endsWith(path, ".hpp"))
        << path;
  }
}

}  // namespace
