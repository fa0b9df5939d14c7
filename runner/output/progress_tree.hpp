// The progress model: a fixed pool of nodes forming the tree of a run (a root for the run, a
// child per running case), and copies of it that a drawer or sender can read at leisure. It knows
// nothing about terminals, descriptors or time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#include "progress_format.hpp"

namespace vesk {

/// One node of the progress tree; owned by its tree, handed out by `ProgressTree::start`.
struct ProgressNode {
  std::string_view name;
  std::uint64_t estimated_total = 0;
  std::uint64_t completed = 0;
  ProgressNode* parent = nullptr;
  std::uint64_t start_order = 0;  // siblings are shown oldest first
  bool live = false;
};

/// Nodes one tree holds; a run has a root and one node per running case.
inline constexpr std::size_t PROGRESS_MAX_NODES = 32;
/// Bytes of names one snapshot holds, as many as one drawing or frame can carry.
inline constexpr std::size_t PROGRESS_SNAPSHOT_BYTES = 4096;

/// A copy of a tree, names included, so a reader never sees a name its owner reuses.
struct ProgressSnapshot {
  std::array<ProgressEntry, PROGRESS_MAX_NODES> entries;
  std::size_t count = 0;
  std::array<char, PROGRESS_SNAPSHOT_BYTES> names;
  std::size_t names_used = 0;

  /// The entries, in depth-first order.
  std::span<const ProgressEntry> view() const noexcept { return {entries.data(), count}; }
};

/// The tree of a run. Its lock is held only for each short step here and never while taking
/// another, so it cannot deadlock with the standard-error lock.
class ProgressTree {
 public:
  /// Starts a node named `name` (a view that must outlive it) under `parent` (null for a root)
  /// expecting `estimated_total` children (0 for no estimate); null when the pool is full, and
  /// the caller's work goes on untracked.
  ProgressNode* start(ProgressNode* parent, std::string_view name,
                      std::uint64_t estimated_total) noexcept;
  /// Ends `node`: its parent's count of ended children grows by one, and its children are no
  /// longer shown. False when it had ended already.
  bool end(ProgressNode* node) noexcept;
  /// Copies the subtree under `root` into `snapshot`: nothing once the root has ended.
  void copy(const ProgressNode* root, ProgressSnapshot& snapshot) noexcept;

 private:
  void copySubtree(ProgressSnapshot& snapshot, const ProgressNode& node,
                   std::uint32_t parent_index) const noexcept;

  std::mutex mutex_;
  std::array<ProgressNode, PROGRESS_MAX_NODES> nodes_{};
  std::uint64_t next_start_order_ = 1;
};

}  // namespace vesk
