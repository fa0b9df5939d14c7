#include "server_link.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vesk::driver {

namespace {

// Room asked for at least: a version and a result, or a small case table, arrive in one read.
constexpr std::size_t READ_ROOM = 4096;
// Room asked for at most, what a pipe holds by default.
constexpr std::size_t MAX_READ = std::size_t{64} * 1024;

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
  char buf[16384];
  // A bounded number of reads per call: a case writing without pause must not hold the driver.
  for (int reads = 0; err_open && reads < 16; ++reads) {
    const ssize_t n = ::read(process.err_fd, buf, sizeof buf);
    if (n > 0) {
      err.append(std::string_view(buf, static_cast<std::size_t>(n)));
      if (static_cast<std::size_t>(n) < sizeof buf) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    err_open = n < 0 && errno == EAGAIN;
    return;
  }
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
