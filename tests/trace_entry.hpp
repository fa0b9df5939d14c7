// Reads the source-location entries that traces, stop reports and allocation records print:
// "{file}:{line}:{column}: 0x{address} in {function} ({unit})", or "???:?:?" for an address without
// a location. One parser for every suite that looks into a report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::testing {

struct TraceEntry {
  bool located = false;  ///< false for "???:?:?"
  std::string file;
  int line = 0;
  int column = 0;
  std::uint64_t address = 0;  ///< 0 when masked ("0x?")
  std::string function;
  std::string unit;
};

/// The entry `line` holds, or nothing when it is not an entry line.
std::optional<TraceEntry> parseTraceEntry(std::string_view line);

/// The entries among the lines of `text`, in order.
std::vector<TraceEntry> traceEntriesIn(std::string_view text);

}  // namespace vesk::testing
