#include "stderr_lock.hpp"

#include <atomic>

namespace vesk {

namespace {

std::mutex stderr_mutex;
std::atomic<StderrOverlay*> stderr_overlay{nullptr};

}  // namespace

void setStderrOverlay(StderrOverlay* overlay) noexcept {
  stderr_overlay.store(overlay, std::memory_order_release);
}

StderrLock::StderrLock() noexcept : owns_(true) {
  stderr_mutex.lock();
  if (StderrOverlay* overlay = stderr_overlay.load(std::memory_order_acquire)) {
    overlay->eraseUnderLock();
  }
}

StderrLock::StderrLock(std::try_to_lock_t) noexcept : owns_(stderr_mutex.try_lock()) {}

StderrLock::~StderrLock() {
  if (owns_) stderr_mutex.unlock();
}

}  // namespace vesk
