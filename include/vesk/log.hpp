// The log facility and standard-error output of the harness: levels and threshold, the count of
// error-level messages, the process-wide standard-error lock (which erases the progress display
// before anything else is printed), a small buffered writer used by every printer, and the
// shortest round-trip form it prints floats in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <vesk/sink.hpp>

namespace vesk {

enum class LogLevel : std::uint8_t { err = 0, warn = 1, info = 2, debug = 3 };

/// Number of error-level messages logged so far; saturates at its largest value.
extern std::atomic<std::uint64_t> log_err_count;
/// Messages above this level are not printed; starts at `warn`.
extern std::atomic<LogLevel> log_level;

/// The printed name of a level: "err", "warn", "info" or "debug".
std::string_view logLevelName(LogLevel level) noexcept;

/// Buffered output to a file descriptor (the error sink unless another is named), formatting
/// numbers without allocating. Write errors are ignored: there is nowhere left to report them.
class Writer {
 public:
  Writer() noexcept : fd_(errorSink()) {}
  explicit Writer(int fd) noexcept : fd_(fd) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() { flush(); }

  Writer& put(std::string_view text) noexcept;
  Writer& put(char c) noexcept { return put(std::string_view(&c, 1)); }
  /// Unsigned decimal, no leading zeros.
  Writer& dec(std::uint64_t value) noexcept;
  /// Lower-case hexadecimal, no prefix.
  Writer& hex(std::uint64_t value) noexcept;
  /// Shortest round-trip scientific form.
  Writer& flt(double value) noexcept;
  Writer& flt(float value) noexcept;
  void flush() noexcept;
  /// How many bytes all flushes so far have handed to the descriptor.
  std::uint64_t flushed() const noexcept { return flushed_; }

 private:
  int fd_;
  std::size_t len_ = 0;
  std::uint64_t flushed_ = 0;
  char buf_[1024];
};

/// Holds the process-wide standard-error lock. Taking it erases the progress display first.
class StderrLock {
 public:
  StderrLock() noexcept;
  ~StderrLock();
  StderrLock(const StderrLock&) = delete;
  StderrLock& operator=(const StderrLock&) = delete;
};

/// The standard-error lock with a writer under it, for output that goes out in one piece: the
/// writer flushes before the lock is released.
struct LockedStderr {
  StderrLock lock;
  Writer out;
};

/// Writes `value` in the shortest scientific form that reads back to the same double ("1e0",
/// "-2.5e0", "5e-1", "nan", "-inf") into `out` (at least 32 bytes); returns the text. This is the
/// form `Writer::flt` prints, and with it expectation messages.
std::string_view formatFloat(std::span<char, 32> out, double value) noexcept;
/// The same for a single-precision value, shortest at single precision.
std::string_view formatFloat(std::span<char, 32> out, float value) noexcept;

/// Whether the error sink is a terminal that takes escape sequences: TERM set and not "dumb".
bool stderrAcceptsEscapes() noexcept;

/// Writes all `len` bytes, going on after interruptions and partial writes; 0, or the errno of the
/// write that failed.
int writeAll(int fd, const void* data, std::size_t len) noexcept;

/// The symbolic name of an errno value ("EAGAIN"), or "Unexpected" for one without a name.
std::string_view errnoName(int code) noexcept;

/// Hooks the progress display installs: `clear` runs under the lock each time it is taken.
void setStderrClearHook(void (*clear)()) noexcept;
/// Takes the standard-error lock without waiting (without running the clear hook); false when
/// another thread holds it.
bool stderrTryLock() noexcept;
/// Releases a lock taken with `stderrTryLock`.
void stderrUnlock() noexcept;

/// Logs one message: "[scope] (level): message\n" under the standard-error lock. An error-level
/// message is always printed and counted in `log_err_count`; others only up to `log_level`.
void log(LogLevel level, std::string_view scope, std::string_view message) noexcept;

/// Logs a message that `body(writer, context)` writes; the prefix and line end are added around it.
void logWith(LogLevel level, std::string_view scope, void (*body)(Writer&, const void*),
             const void* context) noexcept;

/// Convenience form of `logWith` for any callable taking a `Writer&`.
template <class F>
void logWith(LogLevel level, std::string_view scope, const F& body) noexcept {
  logWith(
      level, scope, [](Writer& w, const void* c) { (*static_cast<const F*>(c))(w); }, &body);
}

}  // namespace vesk
