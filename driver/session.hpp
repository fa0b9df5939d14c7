// The driver's side of the build-driver protocol: a session starts a first server, checks its
// version and reads the case table, then runs the selected cases over up to N servers, one
// request in flight per server so that everything a server writes on standard error between a
// request and its reply belongs to that case. A server that dies is replaced, a case that runs
// too long has its server killed and replaced, and nothing is retried.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vesk::driver {

using Clock = std::chrono::steady_clock;

class Reporter;

/// How a case ended.
enum class Outcome : std::uint8_t { passed, failed, skipped, crashed, timed_out };

/// One selected case after its run.
struct CaseResult {
  std::uint32_t index = 0;  ///< position in the case table
  Outcome outcome = Outcome::passed;
  bool leaked = false;           ///< the checking allocator reported a leak
  std::uint32_t log_errors = 0;  ///< error-level log messages during the case
  double seconds = 0;            ///< wall time from the request to the reply (or the end)
  std::string output;            ///< what the case wrote on standard error
  std::string end_message;       ///< crashed or timed out: the report's first line, or how it ended
};

/// Whether `result` counts as good for the exit status: passed or skipped, no leak, no log error.
bool isClean(const CaseResult& result) noexcept;

/// Why a session could not go on: a message in the driver's words, or the signal that
/// interrupted the driver (then `signal` is not 0).
struct Failure {
  std::string message;
  int signal = 0;
};

/// Makes SIGINT, SIGTERM and SIGHUP interrupt a session (they are delivered only while it waits)
/// and a write to a server that has gone away fail instead of ending the driver.
void installDriverSignals() noexcept;

/// A conversation with the servers of one harness executable. Every server still running when
/// the session is destroyed is killed and reaped.
class Session {
 public:
  ~Session();
  Session(Session&&) noexcept;
  Session& operator=(Session&&) = delete;

  /// Starts the first server, checks the version it sends and reads the case table, within a
  /// bounded time.
  static std::expected<Session, Failure> open(const std::string& executable);

  /// The case names in table order.
  const std::vector<std::string>& names() const noexcept;

  /// Runs the cases at table positions `selected` on up to `jobs` servers; `timeout_seconds` <= 0
  /// for no limit. Results come in the order of `selected`.
  std::expected<std::vector<CaseResult>, Failure> run(std::span<const std::uint32_t> selected,
                                                      unsigned jobs, double timeout_seconds,
                                                      Reporter& reporter);

  /// Sends `exit` to every server and reaps them, killing any that does not end in time.
  void close() noexcept;

 private:
  struct State;
  explicit Session(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace vesk::driver
