// Draws snapshots of the progress tree on a terminal: each drawing replaces the one before in a
// single write, follows the window's size, and is erased before anything else is printed (as the
// standard-error lock's overlay) and before a stop or fault report. Layout is progress_format's;
// when and what to draw is the display's.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>

#include "progress_tree.hpp"
#include "stderr_lock.hpp"
#include "terminal.hpp"

namespace vesk {

/// The progress display's drawing on a terminal.
class ProgressDrawer final : public StderrOverlay {
 public:
  ProgressDrawer() = default;
  ProgressDrawer(const ProgressDrawer&) = delete;
  ProgressDrawer& operator=(const ProgressDrawer&) = delete;
  ~ProgressDrawer() = default;

  /// Starts drawing on `terminal`: follows its resizes and becomes the standard-error overlay.
  void begin(const Terminal& terminal) noexcept;
  /// Replaces the drawing with `snapshot`. Draws nothing when standard error is busy (this one
  /// drawing is all that is lost) or a report owns it.
  void draw(const ProgressSnapshot& snapshot) noexcept;
  /// Erases the drawing and stops drawing for good this run, leaving the terminal clean.
  void end() noexcept;
  /// Erases the drawing for good before a stop or fault report. Async-signal-safe, on any thread:
  /// waits for the standard-error lock only briefly and erases without it when it cannot be had.
  void eraseForReport() noexcept;
  /// The overlay's erasing, run each time the standard-error lock is taken.
  void eraseUnderLock() noexcept override;

 private:
  void installResizeHandler() noexcept;
  void restoreResizeHandler() noexcept;
  void querySize() noexcept;

  Terminal terminal_;
  // Lines now drawn. Changed under the standard-error lock, or by a report that could not take it:
  // atomic for that case.
  std::atomic<std::size_t> drawn_lines_{0};
  // Set while drawing may happen, so that a report knows whether to wait for the lock.
  std::atomic<bool> drawing_{false};
  // Set for good once a stop or fault report owns standard error: nothing is drawn any more.
  std::atomic<bool> reporting_{false};
  TerminalSize size_{};  // known only to the drawing thread
  bool resize_handler_installed_ = false;
  struct sigaction previous_resize_action_ {};
};

}  // namespace vesk
