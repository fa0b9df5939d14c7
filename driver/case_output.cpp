#include "case_output.hpp"

#include <algorithm>

namespace vesk::driver {

BoundedOutput::BoundedOutput(std::size_t keep) noexcept : keep_(std::max<std::size_t>(keep, 1)) {}

void BoundedOutput::append(std::string_view bytes) {
  const std::size_t to_head = std::min(bytes.size(), keep_ - head_.size());
  head_.append(bytes.substr(0, to_head));
  bytes.remove_prefix(to_head);
  if (bytes.empty()) return;
  // Of a piece longer than the ring only its end can stay.
  if (bytes.size() > keep_) {
    left_out_ += tail_.size() + (bytes.size() - keep_);
    tail_.assign(bytes.substr(bytes.size() - keep_));
    tail_start_ = 0;
    return;
  }
  const std::size_t fits = std::min(bytes.size(), keep_ - tail_.size());
  tail_.append(bytes.substr(0, fits));
  bytes.remove_prefix(fits);
  // The ring is full: each further byte replaces the oldest.
  left_out_ += bytes.size();
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), keep_ - tail_start_);
    tail_.replace(tail_start_, n, bytes.substr(0, n));
    bytes.remove_prefix(n);
    tail_start_ = (tail_start_ + n) % keep_;
  }
}

std::string BoundedOutput::take() {
  std::string kept = text();
  clear();
  return kept;
}

std::string BoundedOutput::text() const {
  std::string text = head_;
  if (left_out_ != 0) {
    if (!text.ends_with('\n')) text += '\n';
    text += "[vesk-run: " + std::to_string(left_out_) + " bytes of output left out]\n";
  }
  text.append(tail_, tail_start_);
  text.append(tail_, 0, tail_start_);
  return text;
}

void BoundedOutput::clear() noexcept {
  head_.clear();
  tail_.clear();
  tail_start_ = 0;
  left_out_ = 0;
}

}  // namespace vesk::driver
