// Escaping bytes for messages: the one form that expectation and check messages print strings and
// characters in, so that a message stays one line of plain text.
#pragma once

#include <string_view>

namespace vesk {

/// Writes `bytes` with `quote` and the backslash escaped, and every byte outside printable ASCII
/// as an escape.
template <class Out>
void putEscaped(Out& out, std::string_view bytes, char quote) noexcept {
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == quote || c == '\\') {
      out.put('\\').put(c);
    } else if (c == '\t') {
      out.put("\\t");
    } else if (c == '\n') {
      out.put("\\n");
    } else if (c == '\r') {
      out.put("\\r");
    } else if (byte < 0x20 || byte >= 0x7f) {
      constexpr std::string_view DIGITS = "0123456789abcdef";
      out.put("\\x").put(DIGITS[byte >> 4]).put(DIGITS[byte & 0xf]);
    } else {
      out.put(c);
    }
  }
}

}  // namespace vesk
