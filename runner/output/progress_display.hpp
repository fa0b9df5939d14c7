// The progress display of a run: its tree, and at most one background thread that draws the tree
// on a terminal or sends it to a parent process, first 200 ms after the display starts and then
// every 80 ms, until the root ends. Deciding where the progress goes is `chooseProgressOutput`'s;
// drawing and sending are the drawer's and the sender's.
#pragma once

#include <cstdint>
#include <string_view>
#include <thread>

#include "progress_clock.hpp"
#include "progress_drawer.hpp"
#include "progress_sender.hpp"
#include "progress_tree.hpp"
#include "terminal.hpp"

namespace vesk {

/// Where a display's drawings or frames go.
struct ProgressOutput {
  enum class Kind : std::uint8_t { none, terminal, parent };
  Kind kind = Kind::none;
  Terminal terminal;   ///< where to draw, for `terminal`
  int parent_fd = -1;  ///< where to send frames, for `parent`
};

/// Where this process's progress goes: to the parent whose inherited descriptor VESK_PROGRESS_FD
/// names, else onto the error sink when it takes escape sequences, else nowhere. A value that is
/// not a descriptor number is named in a warning, and the progress then goes nowhere.
ProgressOutput chooseProgressOutput() noexcept;

/// A tree of progress nodes and the thread that shows it.
class ProgressDisplay {
 public:
  /// Ticks are timed on `clock`, which must outlive the display.
  explicit ProgressDisplay(ProgressClock& clock) noexcept : clock_(clock), sender_(clock) {}
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;
  /// Stops a display still running, as ending its root would.
  ~ProgressDisplay();

  /// Starts a node under `parent` (null for a root); see `ProgressTree::start`.
  ProgressNode* start(ProgressNode* parent, std::string_view name,
                      std::uint64_t estimated_total) noexcept {
    return tree_.start(parent, name, estimated_total);
  }
  /// Whether nothing is shown: `show` may start the display.
  bool idle() const noexcept { return kind_ == ProgressOutput::Kind::none; }
  /// Shows the tree under `root` on `output` until `root` ends. A thread that cannot be started
  /// is a warning; the nodes then only keep their counts.
  void show(const ProgressNode* root, const ProgressOutput& output) noexcept;
  /// Ends `node`; ending the root that is shown stops the display and erases its drawing.
  void end(ProgressNode* node) noexcept;
  /// Erases the drawing for good before a stop or fault report; see
  /// `ProgressDrawer::eraseForReport`. Async-signal-safe.
  void eraseForReport() noexcept { drawer_.eraseForReport(); }

 private:
  bool spawn(ProgressOutput::Kind kind) noexcept;
  void run() noexcept;
  void stop() noexcept;

  ProgressClock& clock_;
  ProgressTree tree_;
  ProgressDrawer drawer_;
  ProgressSender sender_;
  ProgressSnapshot snapshot_;  // only the display's thread touches it
  ProgressOutput::Kind kind_ = ProgressOutput::Kind::none;
  const ProgressNode* root_ = nullptr;
  ProgressClock::TimePoint started_at_;
  std::thread thread_;
};

}  // namespace vesk
