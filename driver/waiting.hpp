// How the driver waits: on descriptors until a deadline, with its signals (interrupt, termination,
// hang-up, and a change of a server's state) delivered only then, so that they never cut a write or
// a bookkeeping step short. The signal state is process-wide, as signal handlers need it.
#pragma once

#include <poll.h>

#include <span>

#include "case_result.hpp"
#include "protocol.hpp"

namespace vesk::driver {

/// How long a server gets for its version and case table, at start and after a restart.
inline constexpr auto HANDSHAKE_LIMIT = std::chrono::seconds(HANDSHAKE_LIMIT_SECONDS);
/// How long a server gets to end after the `exit` request before it is killed.
inline constexpr auto EXIT_LIMIT = std::chrono::seconds(2);

/// Makes SIGINT, SIGTERM and SIGHUP interrupt the driver's waits, SIGCHLD wake them, and a write to
/// a server that has gone away fail instead of ending the driver.
void installDriverSignals() noexcept;

/// Makes the driver's waits end close to their deadline; its servers get the default back.
void waitOnTime() noexcept;

/// Waits for `fds` until `deadline` (max for none); false when one of the driver's interrupting
/// signals has arrived, now or before.
bool waitFor(std::span<pollfd> fds, Clock::time_point deadline);

/// The interrupting signal that arrived, or 0.
int interruptingSignal() noexcept;

/// Whether a server may have changed its state (stopped) since the last call.
bool takeChildChange() noexcept;

/// Gives SIGINT, SIGTERM and SIGHUP back their default action, unblocked: once the servers are
/// gone, a signal ends vesk-run at once, even in a write that waits (a FIFO nobody reads).
void restoreDefaultSignals() noexcept;

/// Ends the process by `signal`, as an interrupted program is expected to end; returns the exit
/// status that says the same should the signal not end it.
int endBySignal(int signal) noexcept;

}  // namespace vesk::driver
