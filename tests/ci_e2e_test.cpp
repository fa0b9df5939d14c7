// vesk-run under CI conventions, end to end on the product and the fixtures: partitions of a
// selection, Bazel's test protocol under a fake environment, and TAP output read back by prove.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run_process.hpp"

namespace {

using vesk::testing::ProcessOptions;
using vesk::testing::ProcessResult;

const std::string DRIVER = VESK_DRIVER;
const std::string FIXTURES = VESK_FIXTURE_DIR;
const std::string PRODUCT = VESK_PRODUCT;

ProcessResult runDriver(std::vector<std::string> args, std::vector<std::string> env = {}) {
  ProcessOptions options;
  options.args = std::move(args);
  options.set_env = std::move(env);
  options.time_limit_ms = 60000;
  return vesk::testing::runProcess(DRIVER, options);
}

std::string temporaryDirectory() {
  char pattern[] = "/tmp/vesk-ci-test-XXXXXX";
  return ::mkdtemp(pattern);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

// The value of an XPath expression over a file, read by libxml2's xmllint, which refuses a file
// that is not well formed.
std::string xpath(const std::string& path, const std::string& expr) {
  ProcessOptions options;
  options.args = {"--xpath", expr, path};
  const ProcessResult r = vesk::testing::runProcess("/usr/bin/xmllint", options);
  if (r.exit_code != 0) ADD_FAILURE() << "xmllint " << expr << " " << path << ":\n" << r.err;
  return r.out.ends_with('\n') ? r.out.substr(0, r.out.size() - 1) : r.out;
}

// The full case names a JUnit file lists, "{classname}.test.{name}".
std::vector<std::string> junitNames(const std::string& path) {
  const std::string count = xpath(path, "count(//testcase)");
  std::vector<std::string> names;
  for (int i = 1; i <= std::stoi(count); ++i) {
    const std::string at = "(//testcase)[" + std::to_string(i) + "]";
    std::string expr = "concat(";
    expr.append(at).append("/@classname, '.test.', ").append(at).append("/@name)");
    names.push_back(xpath(path, expr));
  }
  return names;
}

TEST(Partition, SplitsTheSelectionIntoDisjointPartsWhoseUnionIsIt) {
  // Applied after the patterns: the kernel's cases without the PGL4 ones.
  const std::vector<std::string> selection = {"--filter", "vesk_kernel.*", "--exclude", "*PGL4*"};
  std::vector<std::string> args = selection;
  args.insert(args.begin(), "--list");
  args.push_back(PRODUCT);
  const ProcessResult all = runDriver(args);
  ASSERT_EQ(all.exit_code, 0) << all.err;
  const std::vector<std::string> names = lines(all.out);
  ASSERT_GT(names.size(), 10u);
  for (const std::string kind : {"count", "hash"}) {
    for (const int n : {1, 2, 3, 7}) {
      std::map<std::string, int> seen;
      for (int m = 1; m <= n; ++m) {
        std::vector<std::string> part = args;
        part.insert(part.begin(),
                    {"--partition", kind + ":" + std::to_string(m) + "/" + std::to_string(n)});
        const ProcessResult r = runDriver(part);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::vector<std::string> mine = lines(r.out);
        for (const std::string& name : mine)
          ++seen[name];
        // Round robin in table order: the m-th, then every n-th.
        if (kind == "count") {
          for (std::size_t k = 0; k < mine.size(); ++k)
            EXPECT_EQ(mine[k], names[m - 1 + k * n]) << kind << m << "/" << n;
        }
        EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end(), [&](auto& a, auto& b) {
          return std::find(names.begin(), names.end(), a) <
                 std::find(names.begin(), names.end(), b);
        }));
      }
      EXPECT_EQ(seen.size(), names.size()) << kind << " " << n;
      for (const std::string& name : names)
        EXPECT_EQ(seen[name], 1) << kind << " " << n << ": " << name;
    }
  }
}

TEST(Partition, RunsOnlyItsCasesCountsOnlyThemAndAnEmptyOnePasses) {
  const std::string dir = temporaryDirectory();
  const ProcessResult r = runDriver(
      {"--partition", "count:2/3", "--filter", "*PGL4*", "--junit", dir + "/part.xml", PRODUCT});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // Eight cases match; the second partition of three holds the second, fifth and eighth.
  for (const char* name :
       {"vesk_kernel.test.PGL4: identity action", "vesk_kernel.test.PGL4: Newton-Schulz inverse",
        "vesk_kernel.test.PGL4 comptime: pglFromHomogeneous rejects singular"})
    EXPECT_NE(r.err.find("/3 " + std::string(name) + "...OK"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nAll 3 tests passed.\n"), std::string::npos) << r.err;
  EXPECT_EQ(xpath(dir + "/part.xml", "string(//testsuite/@tests)"), "3");
  EXPECT_EQ(junitNames(dir + "/part.xml").size(), 3u);

  const ProcessResult empty =
      runDriver({"--partition", "count:2/2", "--filter", "vesk_kernel.test.PGL4: determinant",
                 "--junit", dir + "/empty.xml", PRODUCT});
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_EQ(empty.err,
            "vesk-run: partition count:2/2 holds none of the 1 selected cases; nothing to run\n");
  EXPECT_EQ(xpath(dir + "/empty.xml", "concat(//testsuite/@tests, ' ', count(//testcase))"), "0 0");

  const ProcessResult bad = runDriver({"--partition", "hash:3/2", PRODUCT});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.err,
            "vesk-run: invalid partition 'hash:3/2': M must not exceed N\n"
            "vesk-run: try 'vesk-run --help'\n");
}

TEST(Bazel, EachShardRunsItsCasesWritesItsReportAndMarksItsCleanEnd) {
  const std::string dir = temporaryDirectory();
  const std::string fixture = FIXTURES + "/driver_fixture";
  std::map<std::string, int> seen;
  for (int shard = 0; shard < 3; ++shard) {
    const std::string at = dir + "/" + std::to_string(shard);
    ASSERT_EQ(::mkdir(at.c_str(), 0755), 0);
    const ProcessResult r = runDriver(
        {"-v", fixture},
        {"DRIVER_FIXTURE_TABLE=environment", "TEST_TOTAL_SHARDS=3",
         "TEST_SHARD_INDEX=" + std::to_string(shard), "TEST_SHARD_STATUS_FILE=" + at + "/status",
         "XML_OUTPUT_FILE=" + at + "/test.xml", "TEST_PREMATURE_EXIT_FILE=" + at + "/premature",
         "TEST_TMPDIR=" + at});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(exists(at + "/status")) << shard;
    EXPECT_FALSE(exists(at + "/premature")) << shard;
    const std::vector<std::string> names = junitNames(at + "/test.xml");
    // Four cases in three shards, round robin: two, one, one.
    EXPECT_EQ(names.size(), shard == 0 ? 2u : 1u) << shard;
    for (const std::string& name : names) {
      ++seen[name];
      EXPECT_NE(r.err.find(name + "...OK"), std::string::npos) << r.err;
    }
    if (shard == 1) {
      EXPECT_NE(r.err.find("\nTMPDIR=" + at + "\n"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(seen.size(), 4u);
  for (const auto& [name, times] : seen)
    EXPECT_EQ(times, 1) << name;

  // Bazel's --test_filter arrives as a pattern; --junit and XML_OUTPUT_FILE both get the report.
  const ProcessResult only =
      runDriver({"--junit", dir + "/own.xml", fixture},
                {"DRIVER_FIXTURE_TABLE=environment", "TESTBRIDGE_TEST_ONLY=driver.test.passes*",
                 "XML_OUTPUT_FILE=" + dir + "/test.xml"});
  EXPECT_EQ(only.exit_code, 0) << only.err;
  EXPECT_NE(only.err.find("\nAll 3 tests passed.\n"), std::string::npos) << only.err;
  EXPECT_EQ(xpath(dir + "/test.xml", "count(//testcase)"), "3");
  EXPECT_EQ(xpath(dir + "/own.xml", "count(//testcase)"), "3");

  // A shard that holds no case passes, saying so; malformed shard variables are usage errors.
  const ProcessResult empty =
      runDriver({"--filter", "driver.test.passes first", fixture},
                {"DRIVER_FIXTURE_TABLE=environment", "TEST_TOTAL_SHARDS=2", "TEST_SHARD_INDEX=1"});
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_EQ(empty.err,
            "vesk-run: partition count:2/2 (Bazel's shard 1) holds none of the 1 selected cases; "
            "nothing to run\n");
  for (const auto& [total, index] : {std::pair{"3", "3"}, {"0", "0"}, {"x", "0"}, {"2", ""}}) {
    const ProcessResult bad = runDriver(
        {fixture}, {"DRIVER_FIXTURE_TABLE=environment", std::string("TEST_TOTAL_SHARDS=") + total,
                    std::string("TEST_SHARD_INDEX=") + index});
    EXPECT_EQ(bad.exit_code, 2) << total << " " << index;
    EXPECT_NE(bad.err.find("vesk-run: invalid TEST_"), std::string::npos) << bad.err;
  }
}

// prove runs `{exec} {test}` and judges its TAP stream, YAML blocks included.
ProcessResult prove(const std::string& exec, const std::string& test,
                    std::vector<std::string> env = {}) {
  ProcessOptions options;
  options.args = {"--exec", exec, test};
  options.set_env = std::move(env);
  options.time_limit_ms = 60000;
  return vesk::testing::runProcess("/usr/bin/prove", options);
}

TEST(Tap, ProveReadsEveryOutcomeTheirDiagnosticsAndAnEmptyPartition) {
  const std::string fixture = FIXTURES + "/server_fixture";
  const ProcessResult tap = runDriver({"-j1", "--format", "tap", fixture});
  EXPECT_EQ(tap.exit_code, 1);
  EXPECT_EQ(tap.err, "") << "standard error keeps only vesk-run's own messages";
  EXPECT_TRUE(
      tap.out.starts_with("TAP version 13\nok 1 - server_fixture.test.passes\n"
                          "not ok 2 - server_fixture.test.fails\n  ---\n"
                          "  message: \"the case failed\"\n  outcome: failed\n"
                          "  leaked: false\n  errors_logged: 0\n  duration_ms: "))
      << tap.out;
  EXPECT_NE(tap.out.find("\n  ...\nok 3 - server_fixture.test.skips # SKIP\n"
                         "not ok 4 - server_fixture.test.logs two errors\n  ---\n"
                         "  message: \"2 errors were logged\"\n"),
            std::string::npos);
  EXPECT_NE(tap.out.find("  output: \"[fixture] (err): first error\\n[fixture] (warn): a warning"
                         "\\n[fixture] (err): second error\\n\"\n  ...\n"),
            std::string::npos);
  EXPECT_TRUE(tap.out.ends_with("\n  ...\n1..9\n")) << tap.out;

  const ProcessResult failing = prove(DRIVER + " -j1 --format tap", fixture);
  EXPECT_EQ(failing.exit_code, 1);
  EXPECT_NE(failing.out.find("(Wstat: 256 (exited 1) Tests: 9 Failed: 6)\n"
                             "  Failed tests:  2, 4-6, 8-9\n"),
            std::string::npos)
      << failing.out << failing.err;
  EXPECT_EQ(failing.out.find("Parse errors"), std::string::npos) << failing.out;

  const ProcessResult passing = prove(DRIVER + " --partition count:1/4 --format tap", PRODUCT);
  EXPECT_EQ(passing.exit_code, 0) << passing.out << passing.err;
  EXPECT_NE(passing.out.find("All tests successful.\nFiles=1, Tests=9,"), std::string::npos)
      << passing.out;

  // A flaky point's comment and the skipped points of cases not run keep prove reading.
  const ProcessResult stopped =
      prove(DRIVER + " -j1 --retries 1 --fail-fast --format tap", FIXTURES + "/driver_fixture",
            {"DRIVER_FIXTURE_TABLE=flaky", "FIXTURE_STATE_DIR=" + temporaryDirectory()});
  EXPECT_NE(stopped.out.find("Tests: 3 Failed: 1)\n  Failed test:  2\n"), std::string::npos)
      << stopped.out << stopped.err;
  EXPECT_EQ(stopped.out.find("Parse errors"), std::string::npos) << stopped.out;

  const std::vector<std::string> environment = {"DRIVER_FIXTURE_TABLE=environment"};
  const ProcessResult empty = prove(DRIVER + " --partition count:5/5 --format tap",
                                    FIXTURES + "/driver_fixture", environment);
  EXPECT_EQ(empty.exit_code, 0) << empty.out << empty.err;
  EXPECT_NE(empty.out.find("skipped: partition count:5/5 holds none of the 4 selected cases"),
            std::string::npos)
      << empty.out;
  const ProcessResult two = runDriver(
      {"-j1", "--format", "tap", "--partition", "count:1/2", FIXTURES + "/driver_fixture"},
      environment);
  EXPECT_EQ(two.out,
            "TAP version 13\nok 1 - driver.test.passes first\nok 2 - driver.test.passes second\n"
            "1..2\n");
}

}  // namespace
