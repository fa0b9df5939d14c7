#include "case_output.hpp"

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>
#include <system_error>

namespace vesk::driver {

namespace {
constexpr std::size_t MAX_DIGITS = CaseMarker::TIME_DIGITS_MAX;

// The time that begins `rest` when its first `digits` bytes are one that fits and a separator
// follows them; none when the marker only looks like one.
std::optional<std::uint64_t> markerTime(std::string_view rest, std::size_t digits) {
  if (digits == 0 || digits > MAX_DIGITS || digits >= rest.size() || rest[digits] != '\x1f') {
    return std::nullopt;
  }
  const char* const begin = std::to_address(rest.begin());
  std::uint64_t nanoseconds = 0;
  if (std::from_chars(begin, begin + digits, nanoseconds).ec != std::errc{}) return std::nullopt;
  return nanoseconds;
}
}  // namespace

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

void CaseOutputs::append(std::string_view bytes) {
  if (!cuts()) return open_.append(bytes);
  if (held_.empty()) return scan(bytes);
  std::string joined = std::move(held_);
  held_.clear();
  joined.append(bytes);
  scan(joined);
}

void CaseOutputs::scan(std::string_view bytes) {
  for (;;) {
    const std::string_view head = marker_.head(next_);
    const std::size_t at = bytes.find(head);
    if (at == std::string_view::npos) break;
    // The head is followed by the case's time in decimal and the closing separator.
    const std::string_view rest = bytes.substr(at + head.size());
    const std::size_t digits =
        std::min(rest.find_first_not_of("0123456789"), std::min(rest.size(), MAX_DIGITS + 1));
    if (digits == rest.size() && digits <= MAX_DIGITS) {
      // Cut off in the time or before its separator: the marker may end in the next read.
      open_.append(bytes.substr(0, at));
      held_.assign(bytes.substr(at));
      return;
    }
    const std::optional<std::uint64_t> nanoseconds = markerTime(rest, digits);
    if (!nanoseconds) {
      // Only looks like a marker: its first byte is output, and the search goes on after it.
      open_.append(bytes.substr(0, at + 1));
      bytes.remove_prefix(at + 1);
      continue;
    }
    open_.append(bytes.substr(0, at));
    ended_.push_back({open_.take(), static_cast<double>(*nanoseconds) / 1e9});
    bytes.remove_prefix(at + head.size() + digits + 1);
    ++next_;
  }
  holdPartialHead(bytes);
}

void CaseOutputs::holdPartialHead(std::string_view bytes) {
  // The longest end of `bytes` that the next marker starts with (usually none) waits for more.
  const std::string_view head = marker_.head(next_);
  std::size_t held = 0;
  const std::size_t from = bytes.size() - std::min(bytes.size(), head.size() - 1);
  for (std::size_t at = bytes.find(head.front(), from); at != std::string_view::npos;
       at = bytes.find(head.front(), at + 1)) {
    if (head.starts_with(bytes.substr(at))) {
      held = bytes.size() - at;
      break;
    }
  }
  open_.append(bytes.substr(0, bytes.size() - held));
  held_.assign(bytes.substr(bytes.size() - held));
}

EndedOutput CaseOutputs::takeEnded() {
  EndedOutput output = std::move(ended_.front());
  ended_.pop_front();
  return output;
}

std::string CaseOutputs::takeAll() {
  std::string all;
  while (hasEnded())
    all += takeEnded().text;
  return all + take();
}

std::string CaseOutputs::take() {
  std::string output = open_.take() + held_;
  held_.clear();
  return output;
}

std::string CaseOutputs::text() const {
  return open_.text() + held_;
}

void CaseOutputs::clear() noexcept {
  open_.clear();
  held_.clear();
  ended_.clear();
  next_ = 1;
}

}  // namespace vesk::driver
