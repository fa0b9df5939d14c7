#include "session.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "protocol.hpp"
#include "report.hpp"
#include "report_lines.hpp"
#include "server_process.hpp"

namespace vesk::driver {

namespace {

using namespace std::chrono_literals;

constexpr auto HANDSHAKE_LIMIT = std::chrono::seconds(HANDSHAKE_LIMIT_SECONDS);
// A server that closed its output while a case ran is writing its stop report; symbolising takes
// milliseconds, this much is given before it is killed.
constexpr auto REPORT_LIMIT = 5s;
// How long servers get to end after `exit` before they are killed.
constexpr auto EXIT_LIMIT = 2s;
constexpr std::size_t MAX_VERSION_LEN = 64;
constexpr std::size_t MAX_METADATA_LEN = std::size_t{256} << 20;
// Room asked for when no header is buffered yet: a version and a result, or a small case table,
// arrive in one read.
constexpr std::size_t READ_ROOM = 4096;

volatile sig_atomic_t interrupted = 0;
// The signal mask while waiting: the driver's signals are blocked everywhere else, so that they
// arrive only in ppoll and never cut a write or a bookkeeping step short.
sigset_t wait_mask;

void noteSignal(int signo) {
  interrupted = signo;
}
void ignoreSignal(int) {}

constexpr std::array<int, 3> DRIVER_SIGNALS = {SIGINT, SIGTERM, SIGHUP};

// A byte queue for one server's replies; it grows only for a message that needs it (the table).
class Inbox {
 public:
  // Reads once what `fd` holds, with room for `wanted` more bytes: the count read, 0 at the end
  // of the stream (or on an error, which ends it as well), or -1 when nothing is there yet.
  ssize_t readFrom(int fd, std::size_t wanted) noexcept {
    if (start_ == end_) start_ = end_ = 0;
    if (bytes_.size() - end_ < wanted && start_ != 0) {
      std::memmove(bytes_.data(), bytes_.data() + start_, end_ - start_);
      end_ -= start_;
      start_ = 0;
    }
    if (bytes_.size() - end_ < wanted) bytes_.resize(end_ + wanted);
    ssize_t n;
    do {
      n = ::read(fd, bytes_.data() + end_, bytes_.size() - end_);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? -1 : 0;
    end_ += static_cast<std::size_t>(n);
    return n;
  }

  std::size_t buffered() const noexcept { return end_ - start_; }
  bool hasHeader() const noexcept { return buffered() >= HEADER_LEN; }
  MessageHeader header() const noexcept {
    return {loadU32(bytes_.data() + start_), loadU32(bytes_.data() + start_ + 4)};
  }
  bool hasMessage() const noexcept {
    return hasHeader() && buffered() - HEADER_LEN >= header().bytes_len;
  }
  // Room to ask for in the next read: the rest of the current message, or READ_ROOM.
  std::size_t wanted() const noexcept {
    if (!hasHeader()) return READ_ROOM;
    return std::max<std::size_t>(HEADER_LEN + header().bytes_len - buffered(), READ_ROOM);
  }
  std::span<const std::byte> body() const noexcept {
    return std::span(bytes_).subspan(start_ + HEADER_LEN, header().bytes_len);
  }
  // Up to `len` buffered bytes from the front.
  std::span<const std::byte> front(std::size_t len) const noexcept {
    return std::span(bytes_).subspan(start_, std::min(len, buffered()));
  }
  void pop() noexcept { start_ += HEADER_LEN + header().bytes_len; }
  void clear() noexcept { start_ = end_ = 0; }

 private:
  std::vector<std::byte> bytes_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

enum class Phase : std::uint8_t {
  gone,     // no process
  idle,     // waiting for a request
  running,  // a case is running
  dying,    // its output closed while a case ran: the rest of its report is being read
};

struct Server {
  ServerProcess process;
  Inbox inbox;
  std::string err;  // standard error not yet handed to a case
  Phase phase = Phase::gone;
  bool version_seen = false;
  bool out_open = false;
  bool err_open = false;
  bool exited = false;   // its process has ended: all it wrote is in the pipes
  std::size_t slot = 0;  // position in the selection of the running case
  Clock::time_point started{};
  Clock::time_point version_deadline = Clock::time_point::max();
  Clock::time_point case_deadline = Clock::time_point::max();
  Clock::time_point report_deadline = Clock::time_point::max();

  void start(const ServerProcess& p, Clock::time_point now) {
    process = p;
    inbox.clear();
    err.clear();
    phase = Phase::idle;
    version_seen = false;
    out_open = err_open = true;
    exited = false;
    version_deadline = now + HANDSHAKE_LIMIT;
    case_deadline = report_deadline = Clock::time_point::max();
  }
};

// Appends what `fd` holds now to `into`; false once the stream has ended.
bool drainInto(int fd, std::string& into) {
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      // A pipe hands over everything it holds up to the size asked for: a short read emptied it.
      if (static_cast<std::size_t>(n) < sizeof buf) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

// Notes the end of the server's process, seen on its process descriptor. Everything it wrote is
// in its pipes now and is read at once; after that its output counts as ended, even while a
// process a case started still holds the pipes open.
void noteExit(Server& server) {
  server.exited = true;
  if (server.err_open) server.err_open = drainInto(server.process.err_fd, server.err);
  while (server.out_open &&
         server.inbox.readFrom(server.process.out_fd, server.inbox.wanted()) > 0) {
  }
}

// The process descriptor to wait on for `server`, or -1 once its end has been seen.
int exitFd(const Server& server) noexcept {
  return server.exited ? -1 : server.process.pid_fd;
}

// Waits for `fds` until `deadline`; false when one of the driver's signals arrived.
bool waitFor(std::span<pollfd> fds, Clock::time_point deadline) {
  timespec limit{};
  timespec* limit_ptr = nullptr;
  if (deadline != Clock::time_point::max()) {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    limit.tv_sec = static_cast<time_t>(ns / 1000000000);
    limit.tv_nsec = static_cast<long>(ns % 1000000000);
    limit_ptr = &limit;
  }
  ::ppoll(fds.data(), fds.size(), limit_ptr, &wait_mask);
  return interrupted == 0;
}

void sendHeader(const ServerProcess& server, DriverTag tag, std::uint32_t bytes_len) {
  std::array<std::byte, HEADER_LEN> bytes;
  storeU32(bytes.data(), static_cast<std::uint32_t>(tag));
  storeU32(bytes.data() + 4, bytes_len);
  (void)sendToServer(server, bytes.data(), bytes.size());  // a server gone shows on its output
}

void sendRunTest(const ServerProcess& server, std::uint32_t index) {
  std::array<std::byte, HEADER_LEN + RUN_TEST_LEN> bytes;
  storeU32(bytes.data(), static_cast<std::uint32_t>(DriverTag::run_test));
  storeU32(bytes.data() + 4, RUN_TEST_LEN);
  storeU32(bytes.data() + 8, index);
  (void)sendToServer(server, bytes.data(), bytes.size());
}

std::string quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

std::string hex(std::uint32_t value) {
  char text[16];
  const int n = std::snprintf(text, sizeof text, "0x%x", value);
  return std::string(text, static_cast<std::size_t>(n));
}

std::string describeEnd(const ServerEnd& end) {
  if (end.signal != 0) return "ended by " + signalName(end.signal);
  return "exited with status " + std::to_string(end.exit_code);
}

// The first line of `text`, without its line end.
std::string_view firstLine(std::string_view text) {
  return text.substr(0, text.find('\n'));
}

// Up to the first bytes of `bytes` as quoted text, anything but printable ASCII as \xNN.
std::string preview(std::span<const std::byte> bytes) {
  std::string text = "\"";
  for (std::byte b : bytes) {
    const auto c = std::to_integer<unsigned char>(b);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      (void)std::snprintf(escaped, sizeof escaped, "\\x%02x", c);  // 4 bytes and the end fit
      text += escaped;
    }
  }
  return text + "\"";
}

// What the version message at the front of `inbox` says: nothing yet (wait), or an error.
enum class Step : std::uint8_t { wait, done };

std::expected<Step, std::string> takeVersion(Inbox& inbox, const std::string& executable) {
  const MessageHeader header = inbox.header();
  if (header.tag != static_cast<std::uint32_t>(ProgramTag::toolchain_version) ||
      header.bytes_len > MAX_VERSION_LEN) {
    return std::unexpected(
        quoted(executable) + " is not a harness executable: its first message has tag " +
        hex(header.tag) + " and " + std::to_string(header.bytes_len) +
        " bytes, not the protocol version; its output starts with " + preview(inbox.front(32)));
  }
  if (!inbox.hasMessage()) return Step::wait;
  const std::span<const std::byte> body = inbox.body();
  const std::string_view version(reinterpret_cast<const char*>(body.data()), body.size());
  if (version != TOOLCHAIN_VERSION) {
    return std::unexpected(quoted(executable) + " speaks protocol version " + quoted(version) +
                           "; this vesk-run speaks " + quoted(TOOLCHAIN_VERSION));
  }
  inbox.pop();
  return Step::done;
}

std::expected<std::vector<std::string>, std::string> parseMetadata(
    std::span<const std::byte> body) {
  if (body.size() < METADATA_COUNTS_LEN)
    return std::unexpected(std::string("shorter than 8 bytes"));
  const std::uint64_t string_len = loadU32(body.data());
  const std::uint64_t count = loadU32(body.data() + 4);
  const std::uint64_t expected_len = METADATA_COUNTS_LEN + 8 * count + string_len;
  if (expected_len != body.size()) {
    return std::unexpected(std::to_string(body.size()) + " bytes for " + std::to_string(count) +
                           " cases and " + std::to_string(string_len) +
                           " string bytes, which take " + std::to_string(expected_len));
  }
  const std::span<const std::byte> strings = body.subspan(METADATA_COUNTS_LEN + 8 * count);
  if (strings.empty() || strings[0] != std::byte{0}) {
    return std::unexpected(std::string("the string area does not start with a 0 byte"));
  }
  const std::string_view area(reinterpret_cast<const char*>(strings.data()), strings.size());
  std::vector<std::string> names;
  names.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint32_t offset = loadU32(body.data() + METADATA_COUNTS_LEN + 4 * i);
    const std::size_t end = offset == 0 ? std::string_view::npos : area.find('\0', offset);
    if (offset == 0 || offset >= area.size() || end == std::string_view::npos) {
      return std::unexpected("the name of case " + std::to_string(i) + " lies at offset " +
                             std::to_string(offset) + ", outside the string area");
    }
    names.emplace_back(area.substr(offset, end - offset));
  }
  return names;
}

}  // namespace

bool isClean(const CaseResult& result) noexcept {
  return (result.outcome == Outcome::passed || result.outcome == Outcome::skipped) &&
         !result.leaked && result.log_errors == 0;
}

void installDriverSignals() noexcept {
  struct sigaction act {};
  act.sa_handler = noteSignal;
  sigemptyset(&act.sa_mask);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signo : DRIVER_SIGNALS) {
    ::sigaction(signo, &act, nullptr);
    sigaddset(&blocked, signo);
  }
  // A handler, not SIG_IGN: servers inherit an ignored signal, and a handler resets on exec.
  act.sa_handler = ignoreSignal;
  ::sigaction(SIGPIPE, &act, nullptr);
  ::sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
  for (int signo : DRIVER_SIGNALS)
    sigdelset(&wait_mask, signo);
}

struct Session::State {
  std::string executable;
  std::vector<std::string> names;
  std::vector<Server> servers;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    for (Server& server : servers) {
      killServer(server.process);
      closeServerPipes(server.process);
    }
  }
};

Session::Session(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Session::Session(Session&&) noexcept = default;
Session::~Session() = default;

const std::vector<std::string>& Session::names() const noexcept {
  return state_->names;
}

std::expected<Session, Failure> Session::open(const std::string& executable) {
  auto state = std::make_unique<State>();
  state->executable = executable;
  const auto process = spawnServer(executable);
  if (!process) return std::unexpected(Failure{process.error()});
  state->servers.emplace_back();
  Server& server = state->servers.back();
  const Clock::time_point deadline = Clock::now() + HANDSHAKE_LIMIT;
  server.start(*process, Clock::now());
  // Asked for at once: the server reads the request after sending its version.
  sendHeader(server.process, DriverTag::query_test_metadata, 0);

  const auto fail = [&](std::string why) -> std::expected<Session, Failure> {
    killServer(server.process);
    if (!server.err.empty()) why += "; it wrote: " + std::string(firstLine(server.err));
    return std::unexpected(Failure{std::move(why)});
  };

  for (;;) {
    while (server.inbox.hasHeader()) {
      if (!server.version_seen) {
        const auto step = takeVersion(server.inbox, executable);
        if (!step) return fail(step.error());
        if (*step == Step::wait) break;
        server.version_seen = true;
        continue;
      }
      const MessageHeader header = server.inbox.header();
      if (header.tag != static_cast<std::uint32_t>(ProgramTag::test_metadata) ||
          header.bytes_len > MAX_METADATA_LEN) {
        return fail(quoted(executable) + " answered the case-table request with tag " +
                    hex(header.tag) + " and " + std::to_string(header.bytes_len) +
                    " bytes, not a case table");
      }
      if (!server.inbox.hasMessage()) break;
      auto names = parseMetadata(server.inbox.body());
      if (!names)
        return fail(quoted(executable) + " sent a malformed case table: " + names.error());
      server.inbox.pop();
      if (server.inbox.buffered() != 0) {
        return fail(quoted(executable) + " sent more than the case table it was asked for");
      }
      state->names = std::move(*names);
      server.err.clear();  // start-up output, before any case: nobody's
      return Session(std::move(state));
    }

    if (!server.out_open) {
      // Its output ended: collect the rest of what it wrote for the message, briefly.
      const Clock::time_point until = Clock::now() + 1s;
      while (server.err_open && !server.exited && Clock::now() < until) {
        pollfd fd{server.process.err_fd, POLLIN, 0};
        if (!waitFor(std::span(&fd, 1), until)) return std::unexpected(Failure{"", interrupted});
        server.err_open = drainInto(server.process.err_fd, server.err);
      }
      const ServerEnd end = killServer(server.process);
      const std::string_view what = server.version_seen ? "the case table" : "the protocol version";
      std::string why =
          quoted(executable) + " is not a harness executable: it " +
          (server.inbox.buffered() == 0 ? "ended" : "ended in the middle of a message") +
          " before sending " + std::string(what) + " (" + describeEnd(end) + ")";
      return fail(std::move(why));
    }
    if (Clock::now() >= deadline) {
      return fail(quoted(executable) + " is not a harness executable: no " +
                  (server.version_seen ? "case table" : "protocol version") + " within " +
                  std::to_string(HANDSHAKE_LIMIT_SECONDS) + " s");
    }
    std::array<pollfd, 3> fds = {pollfd{server.process.out_fd, POLLIN, 0},
                                 pollfd{server.err_open ? server.process.err_fd : -1, POLLIN, 0},
                                 pollfd{exitFd(server), POLLIN, 0}};
    if (!waitFor(fds, deadline)) return std::unexpected(Failure{"", interrupted});
    if (fds[1].revents != 0) server.err_open = drainInto(server.process.err_fd, server.err);
    if (fds[0].revents != 0 &&
        server.inbox.readFrom(server.process.out_fd, server.inbox.wanted()) == 0) {
      server.out_open = false;
    }
    if (fds[2].revents != 0) {
      noteExit(server);
      server.out_open = false;
    }
  }
}

std::expected<std::vector<CaseResult>, Failure> Session::run(
    std::span<const std::uint32_t> selected, unsigned jobs, double timeout_seconds,
    Reporter& reporter) {
  State& st = *state_;
  std::vector<CaseResult> results(selected.size());
  std::size_t next = 0;
  std::size_t finished = 0;
  const auto timeout = timeout_seconds > 0 ? std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(timeout_seconds))
                                           : Clock::duration::max();

  const auto caseName = [&](const Server& server) {
    return quoted(st.names[selected[server.slot]]);
  };
  const auto protocolFailure = [&](const Server& server, const std::string& what) {
    std::string message = quoted(st.executable) + " broke the protocol";
    if (server.phase == Phase::running) message += " while running " + caseName(server);
    return Failure{message + ": " + what};
  };
  const auto restartClock = [&](Server& server, Clock::time_point now) {
    server.started = now;
    server.case_deadline =
        timeout == Clock::duration::max() ? Clock::time_point::max() : now + timeout;
  };
  // Hands the next unassigned case to `server`, or leaves it idle.
  const auto assign = [&](Server& server, Clock::time_point now) {
    if (next == selected.size()) {
      server.phase = Phase::idle;
      return;
    }
    server.slot = next++;
    server.phase = Phase::running;
    restartClock(server, now);
    sendRunTest(server.process, selected[server.slot]);
    reporter.caseStarted(server.slot);
  };
  const auto record = [&](Server& server, Outcome outcome, Clock::time_point now) -> CaseResult& {
    CaseResult& result = results[server.slot];
    result.index = selected[server.slot];
    result.outcome = outcome;
    result.seconds = std::chrono::duration<double>(now - server.started).count();
    result.output = std::move(server.err);
    server.err.clear();
    return result;
  };
  // Reports the end of the case whose server is gone, then puts a fresh server in its place when
  // cases are left.
  const auto replace = [&](Server& server, Outcome outcome, const ServerEnd& end,
                           Clock::time_point now) -> std::expected<void, Failure> {
    if (server.err_open) drainInto(server.process.err_fd, server.err);
    closeServerPipes(server.process);
    CaseResult& result = record(server, outcome, now);
    if (outcome == Outcome::timed_out) {
      char text[64];
      (void)std::snprintf(text, sizeof text, "timed out after %g s", timeout_seconds);  // fits
      result.end_message = text;
    } else {
      result.end_message = findReportLine(result.output).value_or("");
      if (result.end_message.empty()) result.end_message = "the server " + describeEnd(end);
    }
    server.phase = Phase::gone;
    server.out_open = server.err_open = false;
    ++finished;
    if (next < selected.size()) {
      const auto process = spawnServer(st.executable);
      if (!process) return std::unexpected(Failure{process.error()});
      server.start(*process, now);
      assign(server, now);
    }
    reporter.caseFinished(result);
    return {};
  };

  // Every server the selection can keep busy, the first one already past its handshake.
  const std::size_t wanted = std::max<std::size_t>(1, std::min<std::size_t>(jobs, selected.size()));
  st.servers.reserve(wanted);
  // The first server works while the others start.
  Clock::time_point now = Clock::now();
  assign(st.servers.front(), now);
  while (st.servers.size() < wanted) {
    const auto process = spawnServer(st.executable);
    if (!process) return std::unexpected(Failure{process.error()});
    now = Clock::now();
    st.servers.emplace_back().start(*process, now);
    assign(st.servers.back(), now);
  }

  std::vector<pollfd> fds(3 * st.servers.size());
  while (finished < selected.size()) {
    Clock::time_point deadline = reporter.flushIfDue(Clock::now());
    for (std::size_t i = 0; i < st.servers.size(); ++i) {
      const Server& server = st.servers[i];
      // A server's output comes before its standard error: poll reports what it finds in array
      // order, so when a reply is seen, everything the case wrote before it is seen too, and is
      // read before the reply is taken.
      fds[3 * i] = pollfd{server.out_open ? server.process.out_fd : -1, POLLIN, 0};
      fds[3 * i + 1] = pollfd{server.err_open ? server.process.err_fd : -1, POLLIN, 0};
      fds[3 * i + 2] = pollfd{exitFd(server), POLLIN, 0};
      if (server.phase == Phase::running) {
        deadline = std::min({deadline, server.case_deadline,
                             server.version_seen ? deadline : server.version_deadline});
      } else if (server.phase == Phase::dying) {
        deadline = std::min(deadline, server.report_deadline);
      }
    }
    if (!waitFor(fds, deadline)) return std::unexpected(Failure{"", interrupted});
    now = Clock::now();

    for (std::size_t i = 0; i < st.servers.size(); ++i) {
      Server& server = st.servers[i];
      if (fds[3 * i + 1].revents != 0)
        server.err_open = drainInto(server.process.err_fd, server.err);
      const bool exited_now = fds[3 * i + 2].revents != 0;
      if (exited_now) noteExit(server);
      if (fds[3 * i].revents != 0 || exited_now) {
        if (exited_now ||
            server.inbox.readFrom(server.process.out_fd, server.inbox.wanted()) == 0) {
          server.out_open = false;
          if (server.phase == Phase::running) server.phase = Phase::dying;
          // The rest of a report is awaited only from a server that still runs.
          if (server.phase == Phase::dying)
            server.report_deadline = server.exited ? now : now + REPORT_LIMIT;
        }
        while (server.inbox.hasHeader()) {
          if (!server.version_seen) {
            const auto step = takeVersion(server.inbox, st.executable);
            if (!step) return std::unexpected(protocolFailure(server, step.error()));
            if (*step == Step::wait) break;
            server.version_seen = true;
            // The case's time and time limit start when its server is ready for it.
            if (server.phase == Phase::running) restartClock(server, now);
            continue;
          }
          const MessageHeader header = server.inbox.header();
          if (server.phase != Phase::running && server.phase != Phase::dying) {
            return std::unexpected(protocolFailure(
                server, "it sent a message with tag " + hex(header.tag) + " unasked"));
          }
          if (header.tag != static_cast<std::uint32_t>(ProgramTag::test_results) ||
              header.bytes_len != TEST_RESULTS_LEN) {
            return std::unexpected(protocolFailure(
                server, "it replied with tag " + hex(header.tag) + " and " +
                            std::to_string(header.bytes_len) + " bytes, not a result record"));
          }
          if (!server.inbox.hasMessage()) break;
          const std::uint32_t index = loadU32(server.inbox.body().data());
          const std::uint32_t flags = loadU32(server.inbox.body().data() + 4);
          server.inbox.pop();
          if (index != selected[server.slot]) {
            return std::unexpected(protocolFailure(
                server, "it replied with the result of case index " + std::to_string(index) +
                            " instead of " + std::to_string(selected[server.slot])));
          }
          if ((flags & RESULT_FAIL) != 0 && (flags & RESULT_SKIP) != 0) {
            return std::unexpected(protocolFailure(server,
                                                   "it reported the case as both "
                                                   "failed and skipped"));
          }
          // A result that came with the end of the output still counts: the case finished.
          const bool ended = server.phase == Phase::dying;
          CaseResult& result = record(server,
                                      (flags & RESULT_FAIL) != 0   ? Outcome::failed
                                      : (flags & RESULT_SKIP) != 0 ? Outcome::skipped
                                                                   : Outcome::passed,
                                      now);
          result.leaked = (flags & RESULT_LEAK) != 0;
          result.log_errors = flags >> RESULT_LOG_ERRORS_SHIFT;
          ++finished;
          // The next request goes out before the report is written, to keep the server busy.
          if (!ended) assign(server, now);
          if (ended) server.phase = Phase::idle;
          reporter.caseFinished(result);
        }
      }

      if (server.phase == Phase::running && !server.version_seen &&
          now >= server.version_deadline) {
        return std::unexpected(
            protocolFailure(server, "a restarted server sent no protocol version within " +
                                        std::to_string(HANDSHAKE_LIMIT_SECONDS) + " s"));
      }
      if (server.phase == Phase::running && now >= server.case_deadline) {
        const ServerEnd end = killServer(server.process);
        if (auto replaced = replace(server, Outcome::timed_out, end, now); !replaced) {
          return std::unexpected(replaced.error());
        }
      } else if (server.phase == Phase::dying &&
                 (!server.err_open || now >= server.report_deadline)) {
        const ServerEnd end = killServer(server.process);
        if (auto replaced = replace(server, Outcome::crashed, end, now); !replaced) {
          return std::unexpected(replaced.error());
        }
      } else if (server.phase == Phase::idle && !server.out_open) {
        // It ended on its own after a reply; the cases left need a server all the same.
        killServer(server.process);
        closeServerPipes(server.process);
        server.phase = Phase::gone;
        server.err_open = false;
        if (next < selected.size()) {
          const auto process = spawnServer(st.executable);
          if (!process) return std::unexpected(Failure{process.error()});
          server.start(*process, now);
          assign(server, now);
        }
      }
    }
  }
  return results;
}

void Session::close() noexcept {
  std::vector<Server>& servers = state_->servers;
  for (Server& server : servers) {
    if (server.process.pid < 0) continue;
    sendHeader(server.process, DriverTag::exit, 0);
    ::close(server.process.in_fd);
    server.process.in_fd = -1;
  }
  // A server ends by closing its output, or is seen to end on its process descriptor; whatever
  // it still writes is nobody's, but is read so that it cannot block on a full pipe.
  const Clock::time_point deadline = Clock::now() + EXIT_LIMIT;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    for (Server& server : servers) {
      if (server.process.pid < 0 || server.exited || (!server.out_open && !server.err_open))
        continue;
      if (server.out_open) fds.push_back({server.process.out_fd, POLLIN, 0});
      if (server.err_open) fds.push_back({server.process.err_fd, POLLIN, 0});
      fds.push_back({exitFd(server), POLLIN, 0});
    }
    if (fds.empty() || Clock::now() >= deadline) break;
    if (!waitFor(fds, deadline)) break;
    for (Server& server : servers) {
      std::string discarded;
      if (server.out_open) server.out_open = drainInto(server.process.out_fd, discarded);
      if (server.err_open) server.err_open = drainInto(server.process.err_fd, discarded);
      pollfd exit{exitFd(server), POLLIN, 0};
      if (exit.fd >= 0 && ::poll(&exit, 1, 0) > 0) server.exited = true;
    }
  }
  for (Server& server : servers) {
    killServer(server.process);
    closeServerPipes(server.process);
  }
}

}  // namespace vesk::driver
