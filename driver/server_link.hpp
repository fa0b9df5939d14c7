// One server as the driver sees it: its process, its replies gathered into messages, its standard
// error cut into its cases' outputs and kept within the output bound, and what has been seen of
// its end. Reading never blocks:
// the descriptors are non-blocking and each call takes what is there.
#pragma once

#include <cstddef>

#include "case_output.hpp"
#include "server_process.hpp"
#include "wire.hpp"

namespace vesk::driver {

/// The driver's side of one server's pipes.
struct ServerLink {
  /// A link with no server; `keep` bounds the standard error kept (see CaseOutputs).
  explicit ServerLink(std::size_t keep) noexcept : err(keep) {}

  ServerProcess process;
  FrameQueue replies = FrameQueue::growable();
  CaseOutputs err;  ///< standard error not yet handed to a case
  bool version_seen = false;
  bool out_open = false;
  bool err_open = false;
  bool exited = false;  ///< its process has ended: all it wrote is in the pipes

  /// Takes over the freshly started `server`, forgetting everything of the one before.
  void start(const ServerProcess& server) noexcept;
  /// Reads what its output holds; false once the output has ended (or failed).
  bool readReplies();
  /// Reads what its standard error holds into `err`; notes when it has ended.
  void readErrors();
  /// Reads its standard error until an output ends at its marker, the pipe is empty or a pipe's
  /// worth was read: all the server wrote before a reply now seen on its output is then in `err`.
  void readErrorsBeforeReply();
  /// Notes the end of its process, seen on its process descriptor: everything it wrote is in its
  /// pipes now and is read at once; after that its output counts as ended, even while a process
  /// a case started still holds the pipes open.
  void noteExit();
  /// The process descriptor to wait on, or -1 once its end has been seen.
  int exitFd() const noexcept { return exited ? -1 : process.pid_fd; }
};

/// Writes `bytes` to the server's requests; a server gone shows on its output, so a failed write
/// is not reported here.
void sendRequest(const ServerProcess& server, std::span<const std::byte> bytes) noexcept;

}  // namespace vesk::driver
