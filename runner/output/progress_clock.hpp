// Time for the progress display: when it is, and waiting for the next drawing or frame. The
// display's thread waits on a clock object instead of the machine's clock directly, so a test can
// drive it tick by tick; the steady clock here is the one a real run uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vesk {

/// Time and waiting, as the progress display sees them.
class ProgressClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  /// The time now.
  virtual TimePoint now() noexcept = 0;
  /// Waits until `deadline` or until `interrupt` is called; true when interrupted. An interruption
  /// lasts (every later wait returns at once) until `resume`.
  virtual bool waitUntil(TimePoint deadline) noexcept = 0;
  /// Ends the current wait and every later one.
  virtual void interrupt() noexcept = 0;
  /// Lets waits last again.
  virtual void resume() noexcept = 0;

 protected:
  ProgressClock() = default;
  ProgressClock(const ProgressClock&) = default;
  ProgressClock& operator=(const ProgressClock&) = default;
  ~ProgressClock() = default;
};

/// The machine's steady clock.
class SteadyProgressClock final : public ProgressClock {
 public:
  TimePoint now() noexcept override;
  bool waitUntil(TimePoint deadline) noexcept override;
  void interrupt() noexcept override;
  void resume() noexcept override;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool interrupted_ = false;  // guarded by mutex_
};

}  // namespace vesk
