// Alternate signal stacks for every thread: the main thread's, taken at start-up, and one for each
// thread the program starts, through pthread_create (and so std::thread), made when the thread
// starts and released when it ends. A fault handler runs on it, so a thread that overflows its
// stack is reported like any other fault. Not the handlers themselves: those are stop.hpp's.
#pragma once

namespace vesk {

/// Gives the calling thread an alternate signal stack for the rest of the process's life, large
/// enough for a fault report to read debug information on; does nothing if none can be mapped.
void giveThreadSignalStack() noexcept;

}  // namespace vesk
