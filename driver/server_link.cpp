#include "server_link.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vesk::driver {

namespace {

// Room asked for at least: a version and a result, or a small case table, arrive in one read.
constexpr std::size_t READ_ROOM = 4096;
// Room asked for at most, what a pipe holds by default.
constexpr std::size_t MAX_READ = std::size_t{64} * 1024;
// Standard error is read this much at a time, at most this many times per readErrors.
constexpr std::size_t ERROR_READ = 16384;
constexpr std::size_t ERROR_READS = 16;
// The most a pipe can hold unless its owner is privileged, for a descriptor whose size is unknown.
constexpr std::size_t MAX_PIPE_SIZE = std::size_t{1} << 20;

// Reads `link`'s standard error until `most` bytes were read, the pipe is empty or has ended, or,
// with `to_marker`, an output ended at its marker.
void readErrorsInto(ServerLink& link, std::size_t most, bool to_marker) {
  char buf[ERROR_READ];
  for (std::size_t read = 0; link.err_open && read < most && !(to_marker && link.err.hasEnded());) {
    const ssize_t n = ::read(link.process.err_fd, buf, sizeof buf);
    if (n > 0) {
      link.err.append(std::string_view(buf, static_cast<std::size_t>(n)));
      read += static_cast<std::size_t>(n);
      if (static_cast<std::size_t>(n) < sizeof buf) return;  // the pipe is empty
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    link.err_open = n < 0 && errno == EAGAIN;
    return;
  }
}

}  // namespace

void ServerLink::start(const ServerProcess& server) noexcept {
  process = server;
  replies.clear();
  err.clear();
  version_seen = false;
  out_open = err_open = true;
  exited = false;
}

bool ServerLink::readReplies() {
  // Room for the rest of the current message, within bounds: a header is checked before its body
  // is read, and a server writing without end cannot make one call read without end.
  const std::size_t want = std::clamp(replies.missing(), READ_ROOM, MAX_READ);
  const auto room = replies.reserve(want, want);
  if (!room) return false;  // only a queue over an area runs out of room
  ssize_t n;
  do {
    n = ::read(process.out_fd, room->data(), room->size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN;
  replies.commit(static_cast<std::size_t>(n));
  return n > 0;
}

void ServerLink::readErrors() {
  // A bounded amount per call: a case writing without pause must not hold the driver.
  readErrorsInto(*this, ERROR_READS * ERROR_READ, false);
}

void ServerLink::readErrorsBeforeReply() {
  if (!err_open || err.hasEnded()) return;
  // What the server wrote before its reply is at the front of the pipe, so within its capacity
  // (which a case may have raised), whatever a process it started writes behind it meanwhile.
  const int capacity = ::fcntl(process.err_fd, F_GETPIPE_SZ);
  readErrorsInto(*this, capacity > 0 ? static_cast<std::size_t>(capacity) : MAX_PIPE_SIZE, true);
}

void ServerLink::noteExit() {
  exited = true;
  readErrors();
  // What its pipe holds is read, up to a whole pipe's worth: a process the server started may
  // still be writing, and that is nobody's reply.
  for (std::size_t read = 0; out_open && read < MAX_READ; read += READ_ROOM) {
    const std::size_t before = replies.buffered();
    if (!readReplies() || replies.buffered() == before) break;
  }
  out_open = false;
}

void sendRequest(const ServerProcess& server, std::span<const std::byte> bytes) noexcept {
  (void)sendToServer(server, bytes.data(), bytes.size());
}

}  // namespace vesk::driver
