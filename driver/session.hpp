// The start of vesk-run's conversation with a harness executable: the first server is started,
// its protocol version checked and its case table read and checked, within a bounded time. The
// server then goes to the scheduler, or is asked to exit when no case is to run.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "server_link.hpp"
#include "server_process.hpp"

namespace vesk::driver {

/// Why a session could not start: a message in the driver's words, or the signal that
/// interrupted the driver (then `signal` is not 0).
struct Failure {
  std::string message;
  int signal = 0;
};

/// Asks every server started from now on, through the environment it inherits, to mark the end
/// of each case's output with a fresh random token (see case_marker.hpp); returns the token, or
/// an empty string when the environment cannot be set.
std::string askForCaseMarkers();

/// The first server of a harness executable, past its handshake, and the case table it sent.
class Session {
 public:
  /// Starts a server with `launcher`, checks the version it sends and reads the case table.
  /// `executable` names it in messages.
  static std::expected<Session, Failure> open(ServerLauncher& launcher,
                                              const std::string& executable);
  /// The moved-from session keeps no server.
  Session(Session&& other) noexcept;
  Session& operator=(Session&&) = delete;
  /// Kills the server unless it was taken or closed.
  ~Session();

  /// The case names in table order.
  const std::vector<std::string>& names() const noexcept { return names_; }
  /// Hands the server over (to the scheduler); the session keeps none.
  ServerLink takeServer() noexcept;
  /// Sends `exit` to the server and waits a little for its end, then kills it.
  void close() noexcept;

 private:
  Session(ServerLauncher& launcher, ServerLink link, std::vector<std::string> names) noexcept;
  ServerLauncher* launcher_;
  ServerLink link_;
  std::vector<std::string> names_;
};

}  // namespace vesk::driver
