// vesk-run end to end: the driver runs fixture executables and the product as real processes;
// the tests check its report, its JUnit file (parsed), its exit status, and that no server
// outlives it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
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

// A minimal XML reader, enough to check that the JUnit file is well formed and to read it back:
// elements, attributes, text with the five entities and numeric references.
struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::vector<Element> children;
  std::string text;

  const Element* child(const std::string& wanted) const {
    for (const Element& c : children) {
      if (c.name == wanted) return &c;
    }
    return nullptr;
  }
};

class XmlReader {
 public:
  explicit XmlReader(std::string text) : text_(std::move(text)) {}

  std::optional<Element> document() {
    if (text_.starts_with("<?xml")) at_ = text_.find("?>") + 2;
    skipSpace();
    std::optional<Element> root = element();
    skipSpace();
    if (at_ != text_.size()) return std::nullopt;
    return root;
  }

 private:
  void skipSpace() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
      ++at_;
  }
  std::string name() {
    const std::size_t start = at_;
    while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) ||
                                  text_[at_] == '-' || text_[at_] == '_'))
      ++at_;
    return text_.substr(start, at_ - start);
  }
  // Decodes up to `end`; nullopt for a raw '<' or '&' that starts no known reference.
  std::optional<std::string> decoded(char end) {
    std::string out;
    while (at_ < text_.size() && text_[at_] != end) {
      if (text_[at_] == '<') return std::nullopt;
      if (text_[at_] != '&') {
        out += text_[at_++];
        continue;
      }
      const std::size_t semi = text_.find(';', at_);
      if (semi == std::string::npos) return std::nullopt;
      const std::string entity = text_.substr(at_ + 1, semi - at_ - 1);
      static const std::map<std::string, std::string> named = {
          {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
      if (named.contains(entity)) {
        out += named.at(entity);
      } else if (entity.starts_with('#') && entity.size() > 1) {
        out += static_cast<char>(std::stoi(entity.substr(1)));  // only ASCII ones are written
      } else {
        return std::nullopt;
      }
      at_ = semi + 1;
    }
    return out;
  }
  std::optional<Element> element() {
    if (at_ >= text_.size() || text_[at_] != '<') return std::nullopt;
    ++at_;
    Element e;
    e.name = name();
    for (;;) {
      skipSpace();
      if (text_.compare(at_, 2, "/>") == 0) {
        at_ += 2;
        return e;
      }
      if (at_ < text_.size() && text_[at_] == '>') break;
      const std::string key = name();
      if (key.empty() || text_.compare(at_, 2, "=\"") != 0) return std::nullopt;
      at_ += 2;
      const std::optional<std::string> value = decoded('"');
      if (!value || at_ >= text_.size()) return std::nullopt;
      ++at_;
      e.attributes[key] = *value;
    }
    ++at_;
    for (;;) {
      const std::optional<std::string> text = decoded('<');
      if (!text || at_ >= text_.size()) return std::nullopt;
      e.text += *text;
      if (text_.compare(at_, 2, "</") == 0) {
        at_ += 2;
        if (name() != e.name || at_ >= text_.size() || text_[at_] != '>') return std::nullopt;
        ++at_;
        return e;
      }
      std::optional<Element> child = element();
      if (!child) return std::nullopt;
      e.children.push_back(std::move(*child));
    }
  }

  std::string text_;
  std::size_t at_ = 0;
};

// The `testsuite` element of the JUnit file at `path`; an empty one (and a test failure) when the
// file is not well formed.
Element junitSuite(const std::string& path) {
  const std::string text = readFile(path);
  std::optional<Element> document = XmlReader(text).document();
  const Element* suite = document.has_value() ? document->child("testsuite") : nullptr;
  if (suite == nullptr) {
    ADD_FAILURE() << "not a JUnit report:\n" << text;
    return Element{};
  }
  return *suite;
}

std::map<std::string, const Element*> casesByName(const Element& suite) {
  std::map<std::string, const Element*> cases;
  for (const Element& c : suite.children)
    cases[c.attributes.at("classname") + ".test." + c.attributes.at("name")] = &c;
  return cases;
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

  const Element suite = junitSuite(dir + "/report.xml");
  std::map<std::string, std::string> counts = suite.attributes;
  EXPECT_EQ(counts.erase("time"), 1u);
  EXPECT_EQ(counts, (std::map<std::string, std::string>{{"name", "server_fixture"},
                                                        {"tests", "9"},
                                                        {"failures", "6"},
                                                        {"errors", "0"},
                                                        {"skipped", "1"}}));
  const auto cases = casesByName(suite);
  ASSERT_EQ(cases.size(), 9u);
  EXPECT_EQ(cases.at("server_fixture.test.passes")->children.size(), 0u);
  EXPECT_NE(cases.at("server_fixture.test.skips")->child("skipped"), nullptr);
  EXPECT_EQ(
      cases.at("server_fixture.test.logs two errors")->child("failure")->attributes.at("message"),
      "2 errors were logged");
  EXPECT_NE(cases.at("server_fixture.test.logs two errors")
                ->child("system-err")
                ->text.find("[fixture] (err): second error\n"),
            std::string::npos);
  EXPECT_EQ(cases.at("server_fixture.test.fails and leaks one block")
                ->child("failure")
                ->attributes.at("message"),
            "the case failed; it leaked memory; 1 errors were logged");
  EXPECT_TRUE(cases.contains("server_fixture.test.naïve → café frees what it takes"));
  EXPECT_GE(std::stod(cases.at("server_fixture.test.passes")->attributes.at("time")), 0.0);
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
  const Element suite = junitSuite(dir + "/stop.xml");
  const auto cases = casesByName(suite);
  ASSERT_TRUE(cases.contains("fixture.test.overflows"));
  const Element* error = cases.at("fixture.test.overflows")->child("error");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(vesk::testing::maskVarying(error->attributes.at("message")),
            "thread ? panic: integer overflow");
  EXPECT_EQ(error->attributes.at("type"), "crash");

  const ProcessResult fault =
      runDriver({fixtures + "/harness_fixture"}, {"VESK_FIXTURE_TABLE=fault"});
  EXPECT_EQ(fault.exit_code, 1);
  EXPECT_NE(
      fault.err.find("fixture.test.bad pointer...CRASH (Segmentation fault at address 0x10) ["),
      std::string::npos)
      << fault.err;
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
  EXPECT_EQ(junitSuite(dir + "/t.xml").attributes["errors"], "1");
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
      {{script("closes", "exit 0")},
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
