// The progress of this process's run, shown where `chooseProgressOutput` says: drawn live on the
// error sink when it is a terminal, or sent to a parent process through the inherited descriptor
// that VESK_PROGRESS_FD names. Without either, the nodes only keep their counts. These calls work
// on the one process-wide display (progress_display.hpp), which a stop report must reach.
#pragma once

#include <cstdint>
#include <string_view>

namespace vesk {

/// One node of the progress tree (progress_tree.hpp), handed out by the start calls.
struct ProgressNode;

/// Starts the display (when it has somewhere to go) with a root named `root_name` that expects
/// `estimated_total` children; returns the root.
ProgressNode* progressStart(std::string_view root_name, std::uint64_t estimated_total) noexcept;

/// Starts a child of `parent` named `name` (a view that must outlive the node) expecting
/// `estimated_total` children (0 for no estimate).
ProgressNode* progressStartChild(ProgressNode* parent, std::string_view name,
                                 std::uint64_t estimated_total) noexcept;

/// Ends `node`: its parent's count of ended children grows by one. Ending the root stops the
/// display and erases it.
void progressEnd(ProgressNode* node) noexcept;

/// Erases the terminal drawing for good before a stop or fault report: the display draws no more.
/// Safe in a signal handler on any thread; waits for the standard-error lock only briefly and
/// erases without it when it cannot be had.
void progressEraseForReport() noexcept;

}  // namespace vesk
