// Progress of a terminal run as a small tree of nodes (a root for the run, a child per running
// case), drawn live on standard error when it is a terminal, or sent to a parent process through
// the inherited descriptor whose number the environment variable VESK_PROGRESS_FD gives (frames
// as laid out in progress_format.hpp). Without either, the nodes only keep their counts.
#pragma once

#include <cstdint>
#include <string_view>

namespace vesk {

/// One node of the progress tree; owned by the progress module, handed out by the start calls.
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
