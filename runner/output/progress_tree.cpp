#include "progress_tree.hpp"

#include <algorithm>
#include <cstring>

#include <vesk/vesk_base.hpp>

namespace vesk {

ProgressNode* ProgressTree::start(ProgressNode* parent, std::string_view name,
                                  std::uint64_t estimated_total) noexcept {
  std::lock_guard lock(mutex_);
  for (ProgressNode& node : nodes_) {
    if (node.live) continue;
    node = ProgressNode{name, estimated_total, 0, parent, next_start_order_, true};
    checkedIncrement(next_start_order_);
    return &node;
  }
  return nullptr;
}

bool ProgressTree::end(ProgressNode* node) noexcept {
  std::lock_guard lock(mutex_);
  if (!node->live) return false;
  if (node->parent != nullptr) checkedIncrement(node->parent->completed);
  node->live = false;
  // Children that outlive their parent are no longer shown; detaching them also keeps a later
  // node in this slot from adopting them.
  for (ProgressNode& child : nodes_) {
    if (child.parent == node) child.parent = nullptr;
  }
  return true;
}

void ProgressTree::copy(const ProgressNode* root, ProgressSnapshot& snapshot) noexcept {
  std::lock_guard lock(mutex_);
  snapshot.count = 0;
  snapshot.names_used = 0;
  if (root->live) copySubtree(snapshot, *root, PROGRESS_NO_PARENT);
}

void ProgressTree::copySubtree(ProgressSnapshot& snapshot, const ProgressNode& node,
                               std::uint32_t parent_index) const noexcept {
  if (snapshot.count == snapshot.entries.size()) return;
  const auto index = static_cast<std::uint32_t>(snapshot.count++);
  const std::size_t name_len =
      std::min(node.name.size(), snapshot.names.size() - snapshot.names_used);
  char* name = snapshot.names.data() + snapshot.names_used;
  std::memcpy(name, node.name.data(), name_len);
  snapshot.names_used += name_len;
  snapshot.entries[index] = ProgressEntry{parent_index, node.completed, node.estimated_total,
                                          std::string_view(name, name_len)};
  // Children in start order: repeatedly pick the oldest child started after the previous one.
  std::uint64_t after = 0;
  for (;;) {
    const ProgressNode* next = nullptr;
    for (const ProgressNode& child : nodes_) {
      if (!child.live || child.parent != &node || child.start_order <= after) continue;
      if (next == nullptr || child.start_order < next->start_order) next = &child;
    }
    if (next == nullptr) return;
    copySubtree(snapshot, *next, index);
    after = next->start_order;
  }
}

}  // namespace vesk
