#include "progress_clock.hpp"

namespace vesk {

ProgressClock::TimePoint SteadyProgressClock::now() noexcept {
  return std::chrono::steady_clock::now();
}

bool SteadyProgressClock::waitUntil(TimePoint deadline) noexcept {
  std::unique_lock lock(mutex_);
  return wake_.wait_until(lock, deadline, [this] { return interrupted_; });
}

void SteadyProgressClock::interrupt() noexcept {
  {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
  }
  wake_.notify_all();
}

void SteadyProgressClock::resume() noexcept {
  std::lock_guard lock(mutex_);
  interrupted_ = false;
}

}  // namespace vesk
