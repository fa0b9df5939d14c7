// Build-driver mode end to end: fixture executables and the product started with `--listen=-`,
// driven through pipes as a build driver does, checking every byte on standard output, the
// messages on standard error and how the process ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "run_process.hpp"
#include "trace_entry.hpp"

namespace {

using Bytes = std::string;  // bytes as they travel; std::string keeps comparisons readable

const std::string FIXTURE = std::string(VESK_FIXTURE_DIR) + "/server_fixture";
const std::string EMPTY_FIXTURE = std::string(VESK_FIXTURE_DIR) + "/server_fixture_empty";
const std::string PRODUCT = VESK_PRODUCT;

// The fixture's table, as its source lists it.
const std::vector<std::string> FIXTURE_NAMES = {
    "server_fixture.test.passes",
    "server_fixture.test.fails",
    "server_fixture.test.skips",
    "server_fixture.test.logs two errors",
    "server_fixture.test.fails and leaks one block",
    "server_fixture.test.leaks and passes",
    "server_fixture.test.naïve → café frees what it takes",
    "server_fixture.test.throws a runtime error",
    "server_fixture.test.throws an int",
};

constexpr int TIMEOUT_MS = 10000;

Bytes u32(std::uint32_t value) {
  Bytes out;
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::uint32_t loadU32(const Bytes& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= std::uint32_t{static_cast<std::uint8_t>(bytes.at(offset + i))} << (8 * i);
  }
  return value;
}

Bytes header(std::uint32_t tag, std::uint32_t bytes_len) {
  return u32(tag) + u32(bytes_len);
}
Bytes runTest(std::uint32_t index) {
  return header(5, 4) + u32(index);
}
Bytes result(std::uint32_t index, std::uint32_t flags) {
  return header(4, 8) + u32(index) + u32(flags);
}
const Bytes QUERY = header(4, 0);
const Bytes EXIT_REQUEST = header(0, 0);
const Bytes VERSION = Bytes("\0\0\0\0\x06\0\0\0", 8) + "0.13.0";

// The metadata reply for `names`, laid out independently of the program.
Bytes metadataFor(const std::vector<std::string>& names) {
  Bytes strings(1, '\0');
  Bytes offsets;
  Bytes zeros;
  for (const std::string& name : names) {
    offsets += u32(static_cast<std::uint32_t>(strings.size()));
    zeros += u32(0);
    strings += name;
    strings.push_back('\0');
  }
  const Bytes body = u32(static_cast<std::uint32_t>(strings.size())) +
                     u32(static_cast<std::uint32_t>(names.size())) + offsets + zeros + strings;
  return header(3, static_cast<std::uint32_t>(body.size())) + body;
}

// A metadata reply taken apart and checked for consistency; the names in table order.
struct Metadata {
  std::vector<std::string> names;
  std::size_t message_len = 0;
};

Metadata parseMetadata(const Bytes& out, std::size_t at) {
  Metadata meta;
  EXPECT_EQ(loadU32(out, at), 3u);
  const std::uint32_t bytes_len = loadU32(out, at + 4);
  const std::size_t body = at + 8;
  const std::uint32_t s = loadU32(out, body);
  const std::uint32_t n = loadU32(out, body + 4);
  EXPECT_EQ(bytes_len, 8u + 8u * n + s);
  meta.message_len = 8 + bytes_len;
  if (out.size() < body + bytes_len) {
    ADD_FAILURE() << "metadata reply cut short";
    return meta;
  }
  const Bytes strings = out.substr(body + 8 + std::size_t{8} * n, s);
  EXPECT_EQ(strings.at(0), '\0');
  std::size_t expected_offset = 1;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t offset = loadU32(out, body + 8 + std::size_t{4} * i);
    EXPECT_EQ(offset, expected_offset) << "name " << i;
    EXPECT_EQ(loadU32(out, body + 8 + std::size_t{4} * (n + i)), 0u) << "expected_panic_msgs " << i;
    const std::size_t end = strings.find('\0', offset);
    if (end == Bytes::npos) {
      ADD_FAILURE() << "name " << i << " has no terminator";
      return meta;
    }
    meta.names.push_back(strings.substr(offset, end - offset));
    expected_offset = end + 1;
  }
  EXPECT_EQ(expected_offset, s) << "the string area holds exactly the names";
  return meta;
}

// A build driver on the other end of three pipes, for exchanges that need the program's input
// kept open, byte-wise delivery or an output closed early. Every wait has a deadline, so a hang
// fails the test instead of stalling it.
class Driver {
 public:
  explicit Driver(const std::string& path) {
    (void)::signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal number
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      std::abort();
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> args = {path, "--listen=-"};
    std::vector<std::string> env = vesk::testing::childEnvironment({});
    if (::posix_spawn(&pid_, path.c_str(), &actions, nullptr, vesk::testing::execArray(args).data(),
                      vesk::testing::execArray(env).data()) != 0) {
      std::abort();
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    err_thread_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(err_, buf, sizeof buf);
        if (n > 0) {
          err_text_.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          return;
        }
      }
    });
  }

  ~Driver() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    closeInput();
    closeOutput();
    if (err_thread_.joinable()) err_thread_.join();
    ::close(err_);
  }

  /// Writes `bytes` in one write; false when the program no longer reads.
  bool send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  /// Reads until `n` bytes came, the output ended or the deadline passed.
  Bytes receive(std::size_t n) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TIMEOUT_MS);
    while (got.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ADD_FAILURE() << "timed out waiting for " << n << " bytes, got " << got.size();
        break;
      }
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      const ssize_t r = ::read(out_, buf, std::min(sizeof buf, n - got.size()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
  }

  /// Everything left on standard output, up to its end.
  Bytes receiveToEnd() { return receive(SIZE_MAX); }

  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  void closeOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

  /// Waits for the program to end; the result has exit status or signal as `runProcess` gives.
  vesk::testing::ProcessResult wait() {
    vesk::testing::ProcessResult ending;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TIMEOUT_MS);
    int status = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the program did not end";
        return ending;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
    if (WIFEXITED(status)) ending.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
    err_thread_.join();
    ending.err = err_text_;
    return ending;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::thread err_thread_;
  std::string err_text_;
};

vesk::testing::ProcessResult serve(const std::string& path, const Bytes& requests) {
  vesk::testing::ProcessOptions options;
  options.args = {"--listen=-"};
  options.stdin_bytes = requests;
  return vesk::testing::runProcess(path, options);
}

// Entries of a printed error-return trace or address record: "{location}: 0x{x} in ...".
std::size_t traceEntries(const std::string& err) {
  return vesk::testing::traceEntriesIn(err).size();
}

TEST(ServerE2E, AnnouncesTheToolchainVersionBeforeAnyRequest) {
  Driver driver(FIXTURE);
  // Sent before any request: nothing has been written to the program yet.
  EXPECT_EQ(driver.receive(14), Bytes("\x00\x00\x00\x00\x06\x00\x00\x00"
                                      "0.13.0",
                                      14));
  driver.closeInput();
  const auto ending = driver.wait();
  EXPECT_EQ(ending.exit_code, 0);
  EXPECT_EQ(ending.err, "");
  EXPECT_EQ(driver.receiveToEnd(), "");
}

TEST(ServerE2E, MetadataListsTheCasesInTableOrder) {
  const auto run = serve(FIXTURE, QUERY + EXIT_REQUEST);
  EXPECT_EQ(run.out, VERSION + metadataFor(FIXTURE_NAMES));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");

  const auto empty = serve(EMPTY_FIXTURE, QUERY + EXIT_REQUEST);
  EXPECT_EQ(empty.out, VERSION + header(3, 9) + u32(1) + u32(0) + Bytes(1, '\0'));
  EXPECT_EQ(empty.exit_code, 0);
}

TEST(ServerE2E, APassingCaseAnswersWithExactlySixteenBytes) {
  const Bytes request("\x05\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00", 12);
  const auto run = serve(FIXTURE, request + EXIT_REQUEST);
  EXPECT_EQ(run.out, VERSION + Bytes("\x04\x00\x00\x00\x08\x00\x00\x00"
                                     "\x00\x00\x00\x00\x00\x00\x00\x00",
                                     16));
  // Nothing is printed for a passing case: no announcement, no result word.
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(ServerE2E, ABurstIsAnsweredInOrderWithFlagsForFailuresSkipsLoggedErrorsAndLeaks) {
  Bytes requests = QUERY;
  for (std::uint32_t i = 0; i < FIXTURE_NAMES.size(); ++i)
    requests += runTest(i);
  const auto run = serve(FIXTURE, requests + EXIT_REQUEST);
  // pass; fail; skip; two errors (the warning does not count); fail + leak + the leak report's
  // error; leak + its report; nothing; two failures by exceptions.
  EXPECT_EQ(run.out, VERSION + metadataFor(FIXTURE_NAMES) + result(0, 0) + result(1, 1) +
                         result(2, 2) + result(3, 16) + result(4, 13) + result(5, 12) +
                         result(6, 0) + result(7, 1) + result(8, 1));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.err.find("[fixture] (err): first error\n"), std::string::npos);
  EXPECT_NE(run.err.find("[fixture] (warn): a warning\n"), std::string::npos);
  EXPECT_EQ(run.err.find("info message"), std::string::npos);
  EXPECT_NE(run.err.find("[gpa] (err): memory address 0x"), std::string::npos);
  // No announcement, result word or summary: the printed traces may quote source lines, so only
  // the runner's own forms are looked for.
  for (const char* form : {"/9 ", "...", "OK\n", "FAIL (", "SKIP\n", " passed"}) {
    EXPECT_EQ(run.err.find(form), std::string::npos) << form;
  }
}

TEST(ServerE2E, AFailedCasePrintsItsTraceAndLeavesItEmptyForTheNext) {
  const auto once = serve(FIXTURE, runTest(1) + EXIT_REQUEST);
  const std::size_t entries = traceEntries(once.err);
  ASSERT_GT(entries, 0u) << once.err;
  EXPECT_EQ(once.out, VERSION + result(1, 1));

  // A trace left over from the first failure or from the skip would show up again in the second
  // failure's print.
  const auto again = serve(FIXTURE, runTest(1) + runTest(2) + runTest(0) + runTest(1));
  EXPECT_EQ(traceEntries(again.err), 2 * entries) << again.err;
  EXPECT_EQ(again.out, VERSION + result(1, 1) + result(2, 2) + result(0, 0) + result(1, 1));
  EXPECT_EQ(again.exit_code, 0);
}

TEST(ServerE2E, ACaseThatThrowsFailsWithItsExceptionNamedAndTheExchangeGoesOn) {
  const auto run = serve(FIXTURE, runTest(7) + runTest(8) + runTest(0) + EXIT_REQUEST);
  EXPECT_EQ(run.out, VERSION + result(7, 1) + result(8, 1) + result(0, 0));
  EXPECT_EQ(run.exit_code, 0);
  // Each message, then its trace: the place of the throw and the one that caught the exception.
  const std::size_t first =
      run.err.find("uncaught exception of type std::runtime_error: disk full\n");
  const std::size_t second = run.err.find("uncaught exception of type int\n");
  EXPECT_EQ(first, 0u) << run.err;
  EXPECT_NE(second, std::string::npos) << run.err;
  EXPECT_GT(second, first);
  EXPECT_EQ(traceEntries(run.err), 4u) << run.err;
}

TEST(ServerE2E, DeliveryInOneWriteOrByteByByteGivesTheSameAnswers) {
  Driver driver(FIXTURE);
  ASSERT_EQ(driver.receive(VERSION.size()), VERSION);

  ASSERT_TRUE(driver.send(runTest(0) + runTest(2)));
  EXPECT_EQ(driver.receive(32), result(0, 0) + result(2, 2));

  for (char byte : runTest(1) + QUERY) {
    ASSERT_TRUE(driver.send(Bytes(1, byte)));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const Bytes metadata = metadataFor(FIXTURE_NAMES);
  EXPECT_EQ(driver.receive(16 + metadata.size()), result(1, 1) + metadata);

  ASSERT_TRUE(driver.send(EXIT_REQUEST));
  const auto ending = driver.wait();
  EXPECT_EQ(ending.exit_code, 0);
  EXPECT_EQ(driver.receiveToEnd(), "");
}

TEST(ServerE2E, TheProductListsItsCasesAndAnswersABurstOverThemInOrder) {
  const auto listing = serve(PRODUCT, QUERY + EXIT_REQUEST);
  ASSERT_EQ(listing.exit_code, 0) << listing.err;
  ASSERT_GE(listing.out.size(), VERSION.size() + 16);
  EXPECT_EQ(listing.out.substr(0, VERSION.size()), VERSION);
  const Metadata meta = parseMetadata(listing.out, VERSION.size());
  const std::size_t n = meta.names.size();
  EXPECT_EQ(n, loadU32(listing.out, VERSION.size() + 12));
  EXPECT_EQ(listing.out.size(), VERSION.size() + meta.message_len);
  for (const std::string& name : meta.names)
    EXPECT_NE(name.find(".test."), std::string::npos);

  Bytes burst = QUERY;
  for (std::uint32_t i = 0; i < n; ++i)
    burst += runTest(i);
  const auto run = serve(PRODUCT, burst + EXIT_REQUEST);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  ASSERT_GE(run.out.size(), listing.out.size());
  EXPECT_EQ(run.out.substr(0, listing.out.size()), listing.out);
  Bytes results = run.out.substr(listing.out.size());
  ASSERT_EQ(results.size(), 16 * n);
  for (std::uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(results.substr(std::size_t{16} * i, 8), header(4, 8));
    EXPECT_EQ(loadU32(results, 16 * i + 8), i);
    const std::uint32_t flags = loadU32(results, 16 * i + 12);
    EXPECT_NE(flags & 3u, 3u) << "fail and skip both set for case " << i;
  }
}

TEST(ServerE2E, UnsupportedTagsEndWithStatusOneWithoutWaitingForTheirBody) {
  const std::pair<std::uint32_t, const char*> tags[] = {{1, "1"}, {2, "2"}, {3, "3"}, {255, "ff"}};
  for (const auto& [tag, printed] : tags) {
    Driver driver(FIXTURE);
    // The declared body never comes and the input stays open.
    ASSERT_TRUE(driver.send(runTest(0) + header(tag, 16)));
    const auto ending = driver.wait();
    EXPECT_EQ(ending.exit_code, 1) << tag;
    EXPECT_EQ(ending.err, std::string("unsupported message: ") + printed);
    EXPECT_EQ(driver.receiveToEnd(), VERSION + result(0, 0));
  }
}

TEST(ServerE2E, ExitEndsTheProcessWhateverCameBeforeOrAfter) {
  const auto run = serve(FIXTURE, runTest(1) + QUERY + EXIT_REQUEST + runTest(0));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, VERSION + result(1, 1) + metadataFor(FIXTURE_NAMES));
}

TEST(ServerE2E, SurplusBodyBytesAreNeverTakenForTheNextHeader) {
  // A metadata request whose declared body happens to hold a whole run_test request.
  const Bytes stray = runTest(1);
  const auto run = serve(FIXTURE, header(4, static_cast<std::uint32_t>(stray.size())) + stray +
                                      runTest(0) + EXIT_REQUEST);
  EXPECT_EQ(run.out, VERSION + metadataFor(FIXTURE_NAMES) + result(0, 0));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
}

TEST(ServerE2E, RunTestNamingNoCaseRunsNothingAndEndsWithStatusOne) {
  const auto past_end = serve(FIXTURE, runTest(0) + runTest(9) + runTest(0));
  EXPECT_EQ(past_end.out, VERSION + result(0, 0));
  EXPECT_EQ(past_end.err, "invalid run_test request: index 9 of 9 cases\n");
  EXPECT_EQ(past_end.exit_code, 1);

  const auto empty = serve(EMPTY_FIXTURE, runTest(0));
  EXPECT_EQ(empty.out, VERSION);
  EXPECT_EQ(empty.err, "invalid run_test request: index 0 of 0 cases\n");
  EXPECT_EQ(empty.exit_code, 1);

  const auto long_body = serve(FIXTURE, header(5, 8) + u32(0) + u32(0));
  EXPECT_EQ(long_body.out, VERSION);
  EXPECT_EQ(long_body.err, "invalid run_test request: body of 8 bytes, expected 4\n");
  EXPECT_EQ(long_body.exit_code, 1);

  // Refused on its header, with the input open and the body never sent.
  Driver driver(FIXTURE);
  ASSERT_TRUE(driver.send(header(5, 100)));
  const auto ending = driver.wait();
  EXPECT_EQ(ending.exit_code, 1);
  EXPECT_EQ(ending.err, "invalid run_test request: body of 100 bytes, expected 4\n");
  EXPECT_EQ(driver.receiveToEnd(), VERSION);
}

TEST(ServerE2E, InputEndingEndsTheExchangeByWhereItFalls) {
  const auto boundary = serve(FIXTURE, runTest(0));
  EXPECT_EQ(boundary.out, VERSION + result(0, 0));
  EXPECT_EQ(boundary.exit_code, 0);
  EXPECT_EQ(boundary.err, "");

  const auto in_header = serve(FIXTURE, runTest(0) + Bytes("\x05\x00\x00", 3));
  EXPECT_EQ(in_header.out, VERSION + result(0, 0));
  EXPECT_EQ(in_header.exit_code, 1);
  EXPECT_EQ(in_header.err,
            "input ended in the middle of a message header: 3 of 8 bytes received\n");

  const auto in_body = serve(FIXTURE, header(5, 4) + Bytes("\x00\x00", 2));
  EXPECT_EQ(in_body.out, VERSION);
  EXPECT_EQ(in_body.exit_code, 1);
  EXPECT_EQ(in_body.err,
            "input ended in the middle of a message with tag 5: 2 of 4 body bytes received\n");
}

TEST(ServerE2E, RequestsTooLargeForTheReceiveAreaStopTheRunner) {
  for (const std::uint32_t bytes_len : {5000u, 0xFFFFFFFFu}) {
    Driver driver(FIXTURE);
    ASSERT_TRUE(driver.send(header(4, bytes_len)));
    const auto ending = driver.wait();
    EXPECT_EQ(ending.signal, SIGABRT) << bytes_len;
    EXPECT_NE(ending.err.find("panic: internal test runner failure\n"), std::string::npos)
        << ending.err;
    EXPECT_EQ(driver.receiveToEnd(), VERSION);
  }
}

TEST(ServerE2E, ADriverThatStopsReadingStopsTheRunner) {
  for (const Bytes& request : {runTest(0), QUERY}) {
    Driver driver(FIXTURE);
    ASSERT_EQ(driver.receive(VERSION.size()), VERSION);
    driver.closeOutput();
    ASSERT_TRUE(driver.send(request));
    const auto ending = driver.wait();
    EXPECT_EQ(ending.signal, SIGABRT);
    EXPECT_NE(ending.err.find("panic: internal test runner failure\n"), std::string::npos)
        << ending.err;
    // The metadata arrays were released before the failure was passed up.
    EXPECT_EQ(ending.err.find("memory leak"), std::string::npos) << ending.err;
  }
}

}  // namespace
