// The process a case shares with the harness, and what the harness keeps of it whatever the case
// does: its own descriptors (the error destination, and serving a driver the protocol streams and
// the working directory, moved at start-up to high close-on-exec numbers and checked after every
// case); its signal handlers, panic handler, signal mask, alternate signal stack, descriptor limit,
// error sink and working directory, put back after every case, whose alarm timer is cancelled;
// the end of a server's process group with its parent; and the running case, named when it calls
// exit().
#pragma once

#include <vesk/test_case.hpp>

namespace vesk {

/// Takes the harness's process state once, after its handlers are installed: moves the error sink
/// to a kept descriptor, records handlers, mask, alternate stack and limits, and from then on
/// reports an exit() called during a case. `server`: build-driver mode, whose process group ends
/// with its parent when this process leads it.
void takeProcessState(bool server) noexcept;

/// A duplicate of `fd` at a high close-on-exec descriptor, checked after every case; -1 when none
/// can be had. At most four are kept: the error sink, the working directory and the exchange's two.
int keepDescriptor(int fd) noexcept;

/// Whether this is a process that a case forked, not the harness (false before the state is taken).
bool inForkedChild() noexcept;

/// Marks `test` as the running case.
void beginCase(const TestCase& test) noexcept;

/// Marks the running case as ended and puts back the recorded process state, so that its report
/// and every later case find it as the harness set it; stops, naming the case, when it closed or
/// replaced a kept descriptor.
void endCase() noexcept;

}  // namespace vesk
