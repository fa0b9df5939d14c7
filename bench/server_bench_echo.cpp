// The reference peer of the build-driver benchmark: echoes 16-byte messages from standard input
// to standard output over the same kind of pipes, doing nothing else, until the input ends.
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace {

// Moves exactly `len` bytes; false once the stream ends or fails.
bool readAll(int fd, char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::read(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  char message[16];
  while (readAll(STDIN_FILENO, message, sizeof message)) {
    if (!writeAll(STDOUT_FILENO, message, sizeof message)) return 1;
  }
  return 0;
}
