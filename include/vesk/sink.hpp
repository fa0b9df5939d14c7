// The error sink: the one descriptor that stop reports and every report of the harness (runner
// lines, expectation messages, log lines, traces, the progress display) are written to. It is
// standard error unless changed; a test points it at a pipe or a memory file to read in-process
// what would have been printed.
#pragma once

namespace vesk {

/// The descriptor reports are written to: standard error unless `setErrorSink` changed it.
int errorSink() noexcept;

/// Sends reports to `fd` from now on (the caller keeps it open); returns the descriptor used
/// before, so that the caller can restore it.
int setErrorSink(int fd) noexcept;

}  // namespace vesk
