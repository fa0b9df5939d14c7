#include "progress.hpp"

#include "progress_display.hpp"

namespace vesk {

namespace {

// The process's display, and the clock it ticks on. File-level globals: stop and fault reports
// reach the display from a signal handler.
SteadyProgressClock process_clock;
ProgressDisplay process_display(process_clock);

}  // namespace

ProgressNode* progressStart(std::string_view root_name, std::uint64_t estimated_total) noexcept {
  ProgressNode* root = process_display.start(nullptr, root_name, estimated_total);
  if (root != nullptr && process_display.idle()) {
    process_display.show(root, chooseProgressOutput());
  }
  return root;
}

ProgressNode* progressStartChild(ProgressNode* parent, std::string_view name,
                                 std::uint64_t estimated_total) noexcept {
  if (parent == nullptr) return nullptr;
  return process_display.start(parent, name, estimated_total);
}

void progressEnd(ProgressNode* node) noexcept {
  process_display.end(node);
}

void progressEraseForReport() noexcept {
  process_display.eraseForReport();
}

}  // namespace vesk
