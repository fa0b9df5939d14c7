#include "progress.hpp"

#include <array>
#include <atomic>

namespace vesk {

struct ProgressNode {
  std::string_view name;
  std::uint64_t estimated_total = 0;
  std::atomic<std::uint64_t> completed{0};
  ProgressNode* parent = nullptr;
  std::atomic<bool> live{false};
};

namespace {

std::array<ProgressNode, 8> nodes;

ProgressNode* claim(ProgressNode* parent, std::string_view name, std::uint64_t total) noexcept {
  for (ProgressNode& node : nodes) {
    bool expected = false;
    if (node.live.compare_exchange_strong(expected, true)) {
      node.name = name;
      node.estimated_total = total;
      node.completed.store(0);
      node.parent = parent;
      return &node;
    }
  }
  return nullptr;  // more nodes than the display shows: the caller's work goes on untracked
}

}  // namespace

ProgressNode* progressStart(std::string_view root_name, std::uint64_t estimated_total) noexcept {
  return claim(nullptr, root_name, estimated_total);
}

ProgressNode* progressStartChild(ProgressNode* parent, std::string_view name,
                                 std::uint64_t estimated_total) noexcept {
  return claim(parent, name, estimated_total);
}

void progressEnd(ProgressNode* node) noexcept {
  if (node == nullptr) return;
  if (node->parent != nullptr) node->parent->completed.fetch_add(1);
  node->live.store(false);
}

}  // namespace vesk
