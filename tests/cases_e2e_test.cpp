// Registered cases on the default main end to end: what each failed check prints, how fatal
// checks, fixtures, typed and table-driven cases, skips, dropped expectations and escaping
// exceptions end a case, and the executable's command line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "run_process.hpp"

namespace vesk::testing {
namespace {

const std::string FIXTURE = VESK_FIXTURE_DIR "/cases_fixture";
const std::string STRIPPED = VESK_FIXTURE_DIR "/cases_fixture_stripped";
const std::string DUPLICATE = VESK_FIXTURE_DIR "/cases_duplicate_fixture";

// The fixture's source as its checks name it (the compiler was given its absolute path).
std::string source() {
  const std::string_view here = __FILE__;
  return std::string(here.substr(0, here.rfind('/'))) + "/fixtures/cases_fixture.cpp";
}

// Checks name their file relative to the working directory when it is under it: the children run
// from the root, so that they print the absolute path whatever directory the suite started in.
ProcessResult runFromRoot(const std::string& path, const ProcessOptions& options) {
  EXPECT_EQ(::chdir("/"), 0);
  return runProcess(path, options);
}

ProcessResult run(const std::string& path, std::vector<std::string> args) {
  ProcessOptions options;
  options.args = std::move(args);
  options.set_env = {"TERM=dumb"};
  options.time_limit_ms = 20000;
  return runFromRoot(path, options);
}

TEST(Cases, EachFailedCheckNamesItsPlaceItsTextAndBothValues) {
  const ProcessResult r = run(STRIPPED, {});
  const std::string at = source() + ":";
  const std::string no_trace =
      "Unable to dump stack trace: Unable to open debug info: MissingDebugInfo\n";
  const std::string expected =
      std::string() + "1/17 values.scalars..." + at +
      "53: VESK_CHECK_EQ(-1, 4294967295u) failed: -1 == 4294967295\n" + at +
      "54: VESK_CHECK_EQ(0.1 + 0.2, 0.3) failed: 3.0000000000000004e-1 == 3e-1\n" + at +
      "55: VESK_CHECK_EQ(0.5f, 0.25f) failed: 5e-1 == 2.5e-1\n" + at +
      "56: VESK_CHECK_EQ(true, false) failed: true == false\n" + at +
      "57: VESK_CHECK_EQ('a', '\\n') failed: 'a' == '\\n'\n" + at +
      "58: VESK_CHECK_EQ(Colour::red, Colour::green) failed: 1 == 2\n" + at +
      "60: VESK_CHECK_NE(none, nullptr) failed: null != null\n" + "FAIL (TestExpectedEqual)\n" +
      no_trace + "2/17 values.compound..." + at +
      "65: VESK_CHECK_EQ(joined, \"north-east\") failed: \"north-east-\" == \"north-east\", "
      "differing at byte 10 (lengths 11 and 10)\n" +
      at +
      "66: VESK_CHECK_EQ(\"tab\\there\", \"tab\") failed: \"tab\\there\" == \"tab\", differing at "
      "byte 3 (lengths 8 and 3)\n" +
      at +
      "67: VESK_CHECK_EQ((std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}), (std::vector<long>{1, 2, 3, "
      "4, 9})) failed: [..., 2, 3, 4, 5, 6, 7, ...] == [..., 2, 3, 4, 9], differing at index 4 "
      "(lengths 8 and 5)\n" +
      at +
      "68: VESK_CHECK_EQ(std::optional<int>(3), std::nullopt) failed: optional(3) == nullopt\n" +
      at +
      "69: VESK_CHECK_EQ(std::make_pair(1, std::string(\"a\")), std::make_pair(1, "
      "std::string(\"b\"))) failed: (1, \"a\") == (1, \"b\")\n" +
      at +
      "70: VESK_CHECK_EQ((std::tuple<int, char>{1, 'x'}), (std::tuple<int, char>{2, 'x'})) failed: "
      "(1, 'x') == (2, 'x')\n" +
      at + "71: VESK_CHECK_EQ(Streamed{1}, Streamed{2}) failed: Streamed#1 == Streamed#2\n" + at +
      "72: VESK_CHECK_EQ(Custom{1}, Custom{2}) failed: Custom(1) == Custom(2)\n" + at +
      "73: VESK_CHECK_EQ(Opaque{0x0102}, Opaque{0x0a0b}) failed: 2 bytes:{02 01} == 2 bytes:{0b "
      "0a}\n" +
      "FAIL (TestExpectedEqual)\n" + no_trace + "3/17 checks.each kind..." + at +
      "77: VESK_CHECK(1 + 1 == 3) failed\n" + at + "78: VESK_CHECK_LT(5, 3u) failed: 5 < 3\n" + at +
      "79: VESK_CHECK_LE(std::string(\"b\"), \"a\") failed: \"b\" <= \"a\"\n" + at +
      "80: VESK_CHECK_GT(-1, 0u) failed: -1 > 0\n" + at +
      "81: VESK_CHECK_GE(1.5, 2) failed: 1.5e0 >= 2\n" + at +
      "82: VESK_CHECK_APPROX(2.0, 1.0, 1e-10) failed: actual 1e0, not within absolute tolerance "
      "1e-10 of expected 2e0\n" +
      at +
      "83: VESK_CHECK_THROWS_AS(std::vector<int>().at(1), std::invalid_argument) failed: threw "
      "std::out_of_range: vector::_M_range_check: __n (which is 1) >= this->size() (which is 0)\n" +
      at +
      "84: VESK_CHECK_THROWS_AS(static_cast<void>(0), std::exception) failed: nothing was "
      "thrown\n" +
      at +
      "85: VESK_CHECK_NOTHROW(throw std::runtime_error(\"disk full\")) failed: threw "
      "std::runtime_error: disk full\n" +
      at + "87: VESK_CHECK_OK(missing) failed: OutOfMemory\n" + "FAIL (TestUnexpectedResult)\n" +
      no_trace + "4/17 checks.pass...OK\n" + "5/17 checks.require ends the case..." + at +
      "102: VESK_REQUIRE_EQ(1, 2) failed: 1 == 2\n" + "[fixture] (warn): held released\n" +
      "FAIL (TestExpectedEqual)\n" + no_trace + "6/17 checks.skip..." + at +
      "107: VESK_SKIP: needs a network\n" + "SKIP\n" +
      "7/17 checks.dropped expectation...expected 2, found 3\n" + "FAIL (TestExpectedEqual)\n" +
      no_trace + "8/17 checks.throws...uncaught exception of type std::runtime_error: escaped\n" +
      "FAIL (UncaughtException)\n" + no_trace + "9/17 fixture.sees its fixture...OK\n" +
      "10/17 fixture.constructor fails..." + at +
      "138: VESK_REQUIRE_EQ(2 + 2, 5) failed: 4 == 5\n" + "FAIL (TestExpectedEqual)\n" + no_trace +
      "11/17 typed.holds eight bits<signed char>...OK\n" +
      "12/17 typed.holds eight bits<unsigned char>...OK\n" +
      "13/17 typed.holds eight bits<std::pair<char, char>>..." + at +
      "152: VESK_CHECK_EQ(sizeof(T), 1u) failed: 2 == 1\n" + "FAIL (TestExpectedEqual)\n" +
      no_trace + "14/17 table.length[0]...OK\n" + "15/17 table.length[1]..." + at +
      "166: VESK_CHECK_EQ(sample.text.size(), sample.length) failed: 5 == 4\n" +
      "FAIL (TestExpectedEqual)\n" + no_trace + "16/17 names.a*b...OK\n" +
      "17/17 names.aXb...OK\n" + "7 passed; 1 skipped; 9 failed.\n";
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

// The trace of a failed case names each failed check, and an escaping exception the throw.
TEST(Cases, TracesNameTheFailedChecksAndThePlaceOfAThrow) {
  ProcessOptions options;
  options.args = {"--filter", "checks.throws", "--filter", "checks.dropped*"};
  options.set_env = {"TERM=dumb", "NO_COLOR=1"};
  options.time_limit_ms = 20000;
  const ProcessResult r = runFromRoot(FIXTURE, options);
  // The dropped call, in the case's own unit, and the throw expression.
  EXPECT_NE(r.err.find("expectEqual<int, int>(int const&, int const&) (" + source() + ")"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(source() + ":115:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0 passed; 0 skipped; 2 failed.\n"), std::string::npos) << r.err;
}

TEST(CasesCommandLine, ListsFiltersAndExcludesByTheGlobsOfTheDriver) {
  ProcessResult r = run(FIXTURE, {"--list", "--filter", "typed.*", "--filter=table.*", "--exclude",
                                  "*<unsigned char>"});
  EXPECT_EQ(r.out,
            "typed.holds eight bits<signed char>\ntyped.holds eight bits<std::pair<char, char>>\n"
            "table.length[0]\ntable.length[1]\n");
  EXPECT_EQ(r.exit_code, 0);
  // An escaped name selects exactly that case.
  r = run(FIXTURE, {"--filter", "names.a\\*b"});
  EXPECT_EQ(r.err, "1/1 names.a*b...OK\nAll 1 tests passed.\n");
  EXPECT_EQ(r.exit_code, 0);
  r = run(FIXTURE, {"--filter", "nothing*"});
  EXPECT_EQ(r.err, "no registered case matches the filters\n");
  EXPECT_EQ(r.exit_code, 2);
}

TEST(CasesCommandLine, HelpGoesToStandardOutputAndAUsageErrorExitsWithStatus2) {
  ProcessResult help = run(FIXTURE, {"--help"});
  EXPECT_TRUE(help.out.starts_with("usage: EXECUTABLE [--list] [--filter PATTERN]...")) << help.out;
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.exit_code, 0);
  for (const std::string_view bad : {"--bogus", "--filter", "--listen"}) {
    const ProcessResult r = run(FIXTURE, {"--list", std::string(bad)});
    std::string expected = bad == "--filter" ? "missing pattern after '" : "unknown option '";
    expected.append(bad).append("'\n").append(help.out);
    EXPECT_EQ(r.err, expected) << bad;
    EXPECT_EQ(r.exit_code, 2) << bad;
    EXPECT_EQ(r.signal, 0) << bad;
    EXPECT_EQ(r.out, "") << bad;
  }
}

TEST(CasesCommandLine, TwoCasesOfOneNameAreRefusedBeforeAnyRuns) {
  const ProcessResult r = run(DUPLICATE, {});
  const std::string file = source().substr(0, source().rfind('/')) + "/cases_duplicate_fixture.cpp";
  EXPECT_EQ(r.err,
            "two cases are named \"twice.same name\": at " + file + ":4 and " + file + ":6\n");
  EXPECT_EQ(r.exit_code, 2);
}

}  // namespace
}  // namespace vesk::testing
