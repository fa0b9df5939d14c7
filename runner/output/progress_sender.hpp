// Sends snapshots of the progress tree to a parent process as frames (progress_format's layout)
// on an inherited descriptor, each whole in one write or not at all, and never waits for a parent
// that does not read: only the final frame waits, and briefly. When to send is the display's.
#pragma once

#include <cstddef>
#include <span>

#include "progress_clock.hpp"
#include "progress_tree.hpp"

namespace vesk {

/// The progress display's frames for a parent process.
class ProgressSender {
 public:
  /// Deadlines are read on `clock`.
  explicit ProgressSender(ProgressClock& clock) noexcept : clock_(clock) {}

  /// Sends to `fd` from now on.
  void begin(int fd) noexcept { fd_ = fd; }
  /// Sends `snapshot` if the descriptor takes it now, and drops it otherwise: each frame holds the
  /// whole tree, so a dropped one only delays the parent's view.
  void send(const ProgressSnapshot& snapshot) noexcept;
  /// Sends the empty frame that ends the run, waiting a little for room.
  void end() noexcept;

 private:
  int waitWritable(ProgressClock::TimePoint deadline) const noexcept;
  int writeFrame(std::span<const std::byte> frame, ProgressClock::TimePoint deadline) noexcept;
  void sendFrame(std::span<const std::byte> frame, ProgressClock::TimePoint deadline) noexcept;

  ProgressClock& clock_;
  int fd_ = -1;
  // Set when a frame went out only in part: the parent's stream can no longer be parsed, so
  // nothing more is sent to it.
  bool stream_cut_ = false;
};

}  // namespace vesk
