// The log facility of the harness, for cases and the code they check: levels and threshold, the
// count of error-level messages (which fail a run), and messages written through a small buffered
// writer. Each message goes out whole on the error sink, below the progress display's drawing,
// which it erases first.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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
