#include "session.hpp"

#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <utility>

#include "case_marker.hpp"
#include "messages.hpp"
#include "waiting.hpp"

namespace vesk::driver {

namespace {

using namespace std::chrono_literals;

// A server whose output ended early gets this long to end, so that how it ended is its own doing
// and what it wrote is there for the message.
constexpr auto END_LIMIT = 1s;

// The handshake with one server: its events until the case table is read or it fails.
class Handshake {
 public:
  Handshake(ServerLauncher& launcher, const std::string& executable, ServerLink& link)
      : launcher_(launcher), executable_(executable), link_(link) {}

  // Runs until the table is read or the deadline passes; the names, or why not.
  std::expected<std::vector<std::string>, Failure> run();

 private:
  std::expected<bool, std::string> takeMessages();
  std::string endedEarly();
  Failure fail(std::string why);

  ServerLauncher& launcher_;
  const std::string& executable_;
  ServerLink& link_;
  std::vector<std::string> names_;
};

std::expected<std::vector<std::string>, Failure> Handshake::run() {
  const Clock::time_point deadline = Clock::now() + HANDSHAKE_LIMIT;
  // Asked for at once: the server reads the request after sending its version.
  sendRequest(link_.process, encodeRequest(DriverTag::query_test_metadata));
  for (;;) {
    const auto taken = takeMessages();
    if (!taken) return std::unexpected(fail(taken.error()));
    if (*taken) return std::move(names_);
    if (!link_.out_open) return std::unexpected(fail(endedEarly()));
    if (Clock::now() >= deadline) {
      return std::unexpected(fail(quoted(executable_) + " is not a harness executable: no " +
                                  (link_.version_seen ? "case table" : "protocol version") +
                                  " within " + std::to_string(HANDSHAKE_LIMIT_SECONDS) + " s"));
    }
    std::array<pollfd, 3> fds = {pollfd{link_.process.out_fd, POLLIN, 0},
                                 pollfd{link_.err_open ? link_.process.err_fd : -1, POLLIN, 0},
                                 pollfd{link_.exitFd(), POLLIN, 0}};
    if (!waitFor(fds, deadline)) return std::unexpected(Failure{"", interruptingSignal()});
    if (fds[1].revents != 0) link_.readErrors();
    if (fds[2].revents != 0) {
      link_.noteExit();
    } else if (fds[0].revents != 0 && !link_.readReplies()) {
      link_.out_open = false;
    }
  }
}

// Takes what is buffered: true once the case table is read.
std::expected<bool, std::string> Handshake::takeMessages() {
  FrameQueue& replies = link_.replies;
  while (replies.hasHeader()) {
    if (!link_.version_seen) {
      const auto step = takeVersion(replies, executable_);
      if (!step) return std::unexpected(step.error());
      if (*step == Step::wait) return false;
      link_.version_seen = true;
      continue;
    }
    const MessageHeader header = replies.header();
    if (header.tag != static_cast<std::uint32_t>(ProgramTag::test_metadata) ||
        header.bytes_len > MAX_METADATA_LEN) {
      return std::unexpected(quoted(executable_) + " answered the case-table request with tag " +
                             hex(header.tag) + " and " + std::to_string(header.bytes_len) +
                             " bytes, not a case table");
    }
    if (!replies.hasMessage()) return false;
    auto names = parseMetadata(replies.body());
    if (!names)
      return std::unexpected(quoted(executable_) +
                             " sent a malformed case table: " + names.error());
    replies.discardMessage();
    if (replies.buffered() != 0) {
      return std::unexpected(quoted(executable_) +
                             " sent more than the case table it was asked for");
    }
    if (const auto checked = checkNames(*names); !checked) {
      return std::unexpected(quoted(executable_) +
                             " has a case table vesk-run cannot run: " + checked.error());
    }
    names_ = std::move(*names);
    return true;
  }
  return false;
}

// Why a server whose output ended before the table is not a harness executable. It is given a
// moment to end on its own, so that its own status is reported, not the kill.
std::string Handshake::endedEarly() {
  const Clock::time_point until = Clock::now() + END_LIMIT;
  std::optional<ServerEnd> end;
  while (!(end = launcher_.reap(link_.process)) && Clock::now() < until) {
    std::array<pollfd, 2> fds = {pollfd{link_.err_open ? link_.process.err_fd : -1, POLLIN, 0},
                                 pollfd{link_.exitFd(), POLLIN, 0}};
    if (link_.exitFd() < 0 && !link_.err_open) {
      fds[1].fd = -1;  // no sign of its end but the reap: look again shortly
      (void)waitFor(fds, std::min(until, Clock::now() + 10ms));
    } else if (!waitFor(fds, until)) {
      break;
    }
    if (fds[0].revents != 0) link_.readErrors();
    if (fds[1].revents != 0) link_.noteExit();
  }
  if (!end) end = launcher_.kill(link_.process);
  const std::string_view what = link_.version_seen ? "the case table" : "the protocol version";
  return quoted(executable_) + " is not a harness executable: it " +
         (link_.replies.buffered() == 0 ? "ended" : "ended in the middle of a message") +
         " before sending " + std::string(what) + " (" + describeEnd(*end) + ")";
}

Failure Handshake::fail(std::string why) {
  launcher_.kill(link_.process);
  link_.readErrors();
  const std::string err = link_.err.take();
  if (!err.empty()) why += "; it wrote: " + std::string(firstLine(err));
  return Failure{std::move(why)};
}

}  // namespace

std::string askForCaseMarkers() {
  std::array<std::uint8_t, 16> random{};
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    // Unpredictable enough that no case output holds it by accident.
    const auto seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) ^
                      (static_cast<std::uint64_t>(::getpid()) << 40);
    for (std::size_t i = 0; i < random.size(); ++i)
      random[i] = static_cast<std::uint8_t>((seed * (2 * i + 1) * 0x9E3779B97F4A7C15ull) >> 56);
  }
  std::string token;
  for (const std::uint8_t byte : random) {
    token += "0123456789abcdef"[byte >> 4];
    token += "0123456789abcdef"[byte & 15];
  }
  if (::setenv(CASE_MARKER_VARIABLE, token.c_str(), 1) != 0) return "";
  return token;
}

Session::Session(ServerLauncher& launcher, ServerLink link, std::vector<std::string> names) noexcept
    : launcher_(&launcher), link_(std::move(link)), names_(std::move(names)) {}

Session::Session(Session&& other) noexcept
    : launcher_(std::exchange(other.launcher_, nullptr)),
      link_(std::move(other.link_)),
      names_(std::move(other.names_)) {}

Session::~Session() {
  if (launcher_ == nullptr) return;
  launcher_->kill(link_.process);
  closeServerPipes(link_.process);
}

std::expected<Session, Failure> Session::open(ServerLauncher& launcher,
                                              const std::string& executable) {
  const auto process = launcher.start();
  if (!process) return std::unexpected(Failure{process.error()});
  ServerLink link(DEFAULT_OUTPUT_KEEP);
  link.start(*process);
  auto names = Handshake(launcher, executable, link).run();
  if (!names) {
    closeServerPipes(link.process);
    return std::unexpected(std::move(names.error()));
  }
  link.err.clear();  // start-up output, before any case: nobody's
  return Session(launcher, std::move(link), std::move(*names));
}

ServerLink Session::takeServer() noexcept {
  launcher_ = nullptr;
  return std::move(link_);
}

void Session::close() noexcept {
  if (launcher_ == nullptr) return;
  sendRequest(link_.process, encodeRequest(DriverTag::exit));
  closeRequests(link_.process);
  const Clock::time_point deadline = Clock::now() + EXIT_LIMIT;
  // What it still writes is nobody's, but is read so that it cannot block on a full pipe.
  while (!link_.exited && link_.exitFd() >= 0 && Clock::now() < deadline) {
    std::array<pollfd, 3> fds = {pollfd{link_.out_open ? link_.process.out_fd : -1, POLLIN, 0},
                                 pollfd{link_.err_open ? link_.process.err_fd : -1, POLLIN, 0},
                                 pollfd{link_.exitFd(), POLLIN, 0}};
    if (!waitFor(fds, deadline)) break;
    if (fds[0].revents != 0) {
      link_.out_open = link_.readReplies();
      link_.replies.clear();
    }
    if (fds[1].revents != 0) link_.readErrors();
    if (fds[2].revents != 0) link_.exited = true;
  }
  launcher_->kill(link_.process);
  closeServerPipes(link_.process);
  launcher_ = nullptr;
}

}  // namespace vesk::driver
