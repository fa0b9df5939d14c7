// Process stops and fault signals: the stop report ("thread {} panic: {message}", the error-return
// trace being handled, the stack of the stopping thread, then the abort signal) and the handlers of
// segmentation fault, illegal instruction, bus error and arithmetic exception, each bounded in
// time. Capturing the stacks is stack_trace.hpp's; naming their addresses symbolize.hpp's.
#pragma once

namespace vesk {

/// Installs the stop report as the process's panic handler and the fault-signal handlers (on an
/// alternate signal stack, every thread's, so that a stack overflow is reported too).
void installStopHandlers() noexcept;

/// Makes the stop report the panic handler again, should a case have installed its own.
void restoreStopReport() noexcept;

}  // namespace vesk
