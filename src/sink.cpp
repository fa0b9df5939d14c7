#include <vesk/sink.hpp>

#include <unistd.h>

#include <atomic>

namespace vesk {

namespace {

// Read on every report, from any thread and from signal handlers: a lock-free atomic.
std::atomic<int> sink{STDERR_FILENO};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

int errorSink() noexcept {
  return sink.load(std::memory_order_relaxed);
}

int setErrorSink(int fd) noexcept {
  return sink.exchange(fd, std::memory_order_relaxed);
}

}  // namespace vesk
