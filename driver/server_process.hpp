// One server process of vesk-run: a harness executable started as `EXECUTABLE --listen=-` with
// the driver's environment, its three standard streams on pipes, in a process group of its own
// (a terminal's interrupt reaches the driver, which ends the servers itself), and set to be
// killed when the driver dies, so that no server outlives it. A launcher starts and ends servers
// for the scheduler, which thus runs as well against stand-ins that tests drive.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace vesk::driver {

/// A running server and the driver's ends of its pipes; -1 where there is none.
struct ServerProcess {
  pid_t pid = -1;
  int in_fd = -1;   ///< the server's standard input: requests (blocking)
  int out_fd = -1;  ///< the server's standard output: replies (non-blocking)
  int err_fd = -1;  ///< the server's standard error: what the cases print (non-blocking)
  /// Readable once the server has ended (a process descriptor). The end of its pipes does not
  /// say so: a process a case started may hold them open for as long as it lives. -1 where the
  /// kernel has no process descriptors.
  int pid_fd = -1;
};

/// How a server process ended.
struct ServerEnd {
  int exit_code = -1;  ///< the exit status, or -1 when a signal ended it
  int signal = 0;      ///< the signal that ended it, or 0
};

/// Starts `executable --listen=-`. A failure comes back as a message naming the executable and
/// the reason ("cannot execute 'x': EACCES").
std::expected<ServerProcess, std::string> spawnServer(const std::string& executable);

/// Writes all of `len` bytes to the server's standard input; false when it has gone away.
bool sendToServer(const ServerProcess& server, const void* data, std::size_t len) noexcept;

/// Waits for the server to end if it has already (`wait` false) or until it does (`wait` true);
/// no value while it still runs without `wait`. The process is then reaped.
std::optional<ServerEnd> reapServer(ServerProcess& server, bool wait) noexcept;

/// Kills the server's process group (the server unless it has ended already, and whatever it
/// started) and reaps the server; its pipes stay open, so that what it wrote can still be read.
/// Returns how it ended, which is the kill unless it had ended first.
ServerEnd killServer(ServerProcess& server) noexcept;

/// Closes the server's standard input (after `exit`, so that it also sees the end of input).
void closeRequests(ServerProcess& server) noexcept;

/// Closes the driver's ends of the pipes and the process descriptor, those still open.
void closeServerPipes(ServerProcess& server) noexcept;

/// The signal that stopped the server (SIGSTOP and the like), or 0 while it is not stopped. Only
/// a stop noticed since the last call counts; a server that went on meanwhile is not stopped.
int stopSignal(const ServerProcess& server) noexcept;

/// Starts and ends the servers of one harness executable.
class ServerLauncher {
 public:
  virtual ~ServerLauncher() = default;
  /// Starts a server, as `spawnServer` does.
  virtual std::expected<ServerProcess, std::string> start() = 0;
  /// Ends the server and whatever it started, as `killServer` does.
  virtual ServerEnd kill(ServerProcess& server) noexcept = 0;
  /// How the server ended, once it has; it is then reaped.
  virtual std::optional<ServerEnd> reap(ServerProcess& server) noexcept = 0;
  /// The signal that stopped the server, as `stopSignal` says.
  virtual int stopped(const ServerProcess& server) noexcept = 0;
};

/// The launcher of real server processes of `executable`.
class ProcessLauncher final : public ServerLauncher {
 public:
  explicit ProcessLauncher(std::string executable) : executable_(std::move(executable)) {}
  ProcessLauncher(const ProcessLauncher&) = delete;
  ProcessLauncher& operator=(const ProcessLauncher&) = delete;
  /// Kills the servers started ahead that nobody took.
  ~ProcessLauncher() override;
  /// Starts `count` servers now, for `start` to hand out, so that their start-up overlaps the
  /// first server's handshake; one that cannot start is left to `start` to report.
  void startAhead(std::size_t count);
  /// A server started ahead, oldest first, or a new one.
  std::expected<ServerProcess, std::string> start() override;
  ServerEnd kill(ServerProcess& server) noexcept override { return killServer(server); }
  std::optional<ServerEnd> reap(ServerProcess& server) noexcept override {
    return reapServer(server, false);
  }
  int stopped(const ServerProcess& server) noexcept override { return stopSignal(server); }

 private:
  std::string executable_;
  std::deque<ServerProcess> ahead_;
};

/// "SIGABRT" for the abort signal, and so on; "signal N" for one without a name.
std::string signalName(int signal);

}  // namespace vesk::driver
