#include "case_marker.hpp"

#include <algorithm>
#include <charconv>

namespace vesk {

bool isCaseMarkerToken(std::string_view token) noexcept {
  if (token.size() < CASE_MARKER_TOKEN_MIN || token.size() > CASE_MARKER_TOKEN_MAX) return false;
  return std::all_of(token.begin(), token.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

CaseMarker::CaseMarker(std::string_view token) noexcept {
  if (!isCaseMarkerToken(token)) return;
  char* at = std::copy(PREFIX.begin(), PREFIX.end(), text_.data());
  at = std::copy(token.begin(), token.end(), at);
  *at++ = ':';
  prefix_len_ = static_cast<std::size_t>(at - text_.data());
}

std::string_view CaseMarker::head(std::uint64_t sequence) noexcept {
  if (!active()) return {};
  char* const end = text_.data() + text_.size();
  char* at = std::to_chars(text_.data() + prefix_len_, end, sequence).ptr;
  *at++ = ':';
  return {text_.data(), static_cast<std::size_t>(at - text_.data())};
}

std::string_view CaseMarker::text(std::uint64_t sequence, std::uint64_t nanoseconds) noexcept {
  const std::string_view start = head(sequence);
  if (start.empty()) return {};
  char* const end = text_.data() + text_.size();
  char* at = std::to_chars(text_.data() + start.size(), end, nanoseconds).ptr;
  *at++ = '\x1f';
  return {text_.data(), static_cast<std::size_t>(at - text_.data())};
}

}  // namespace vesk
