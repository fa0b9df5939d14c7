// The process-wide standard-error lock: what goes out on the error sink in one piece (a log line,
// a runner line, an expectation message, a driver's batch of lines) is written under it, and
// taking it first erases the overlay, the progress display's drawing. It does not write anything
// of its own.
#pragma once

#include <mutex>

#include <vesk/log.hpp>

namespace vesk {

/// A drawing on the error sink that must be erased before anything else is printed there.
class StderrOverlay {
 public:
  /// Erases the drawing; runs with the standard-error lock held.
  virtual void eraseUnderLock() noexcept = 0;

 protected:
  StderrOverlay() = default;
  StderrOverlay(const StderrOverlay&) = default;
  StderrOverlay& operator=(const StderrOverlay&) = default;
  ~StderrOverlay() = default;
};

/// Makes `overlay` (null for none) the drawing erased each time the lock is taken.
void setStderrOverlay(StderrOverlay* overlay) noexcept;

/// Holds the process-wide standard-error lock.
class StderrLock {
 public:
  /// Waits for the lock, then erases the overlay.
  StderrLock() noexcept;
  /// Takes the lock only when it is free, and erases nothing: for the overlay's own drawing, which
  /// erases and redraws in one write, and for a report that must not wait.
  explicit StderrLock(std::try_to_lock_t) noexcept;
  ~StderrLock();
  StderrLock(const StderrLock&) = delete;
  StderrLock& operator=(const StderrLock&) = delete;

  /// Whether the lock was taken.
  bool owns() const noexcept { return owns_; }
  /// Leaves the lock held for the rest of the process: for a report that ends it, into which
  /// nothing else may print.
  void holdForever() noexcept { owns_ = false; }

 private:
  bool owns_;
};

/// The standard-error lock with a writer under it, for output that goes out in one piece: the
/// writer flushes before the lock is released.
struct LockedStderr {
  StderrLock lock;
  Writer out;
};

}  // namespace vesk
