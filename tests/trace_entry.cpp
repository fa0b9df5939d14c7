#include "trace_entry.hpp"

#include <charconv>

namespace vesk::testing {

namespace {

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// A whole decimal number, or nothing.
std::optional<int> number(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<TraceEntry> parseTraceEntry(std::string_view line) {
  TraceEntry entry;
  // The unit is in the last parentheses, which hold no parentheses of their own.
  const std::size_t unit_open = line.rfind(" (");
  if (line.empty() || line.back() != ')' || unit_open == std::string_view::npos) return {};
  entry.unit = line.substr(unit_open + 2, line.size() - unit_open - 3);
  if (entry.unit.find_first_of("()") != std::string::npos) return {};

  // The location ends at the first ": 0x" followed by an address (or its mask) and " in ".
  std::size_t at = 0;
  std::size_t in = std::string_view::npos;
  for (at = line.find(": 0x"); at != std::string_view::npos; at = line.find(": 0x", at + 1)) {
    std::size_t end = at + 4;
    if (end < line.size() && line[end] == '?') {
      ++end;
    } else {
      while (end < line.size() && isHex(line[end]))
        ++end;
      if (end == at + 4) continue;
      std::from_chars(line.data() + at + 4, line.data() + end, entry.address, 16);
    }
    if (line.substr(end, 4) == " in ") {
      in = end;
      break;
    }
  }
  if (in == std::string_view::npos || in + 4 > unit_open) return {};
  entry.function = line.substr(in + 4, unit_open - in - 4);

  const std::string_view location = line.substr(0, at);
  if (location == "???:?:?") return entry;
  const std::size_t column_colon = location.rfind(':');
  if (column_colon == std::string_view::npos) return {};
  const std::size_t line_colon = location.rfind(':', column_colon - 1);
  if (line_colon == std::string_view::npos || line_colon == 0) return {};
  const auto line_number = number(location.substr(line_colon + 1, column_colon - line_colon - 1));
  const auto column = number(location.substr(column_colon + 1));
  if (!line_number || !column) return {};
  entry.located = true;
  entry.file = location.substr(0, line_colon);
  entry.line = *line_number;
  entry.column = *column;
  return entry;
}

std::vector<TraceEntry> traceEntriesIn(std::string_view text) {
  std::vector<TraceEntry> entries;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (auto entry = parseTraceEntry(text.substr(0, end))) entries.push_back(std::move(*entry));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return entries;
}

}  // namespace vesk::testing
