#include "report_lines.hpp"

namespace vesk {

std::optional<std::string_view> findReportLine(std::string_view output) noexcept {
  static constexpr std::string_view STARTS[] = {
      SEGV_LINE_START,           ILL_LINE_START,  BUS_LINE_START,    FPE_LINE_START,
      UNKNOWN_SIGNAL_LINE_START, NO_ADDRESS_LINE, NESTED_PANIC_LINE,
  };
  while (!output.empty()) {
    const std::string_view line = output.substr(0, output.find('\n'));
    if (line.starts_with(PANIC_LINE_START) &&
        line.find(PANIC_LINE_MIDDLE) != std::string_view::npos) {
      return line;
    }
    if (line.starts_with(EXIT_LINE_START) && line.ends_with(')') &&
        line.find(EXIT_LINE_MIDDLE) != std::string_view::npos) {
      return line;
    }
    for (std::string_view start : STARTS) {
      if (line.starts_with(start)) return line;
    }
    output.remove_prefix(std::min(output.size(), line.size() + 1));
  }
  return std::nullopt;
}

}  // namespace vesk
