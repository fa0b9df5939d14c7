#include "case_pattern.hpp"

#include <cstddef>

namespace vesk {

namespace {

// Bytes of the UTF-8 code point that starts at `at` (a stray continuation byte counts alone).
std::size_t codePointLength(std::string_view text, std::size_t at) noexcept {
  std::size_t len = 1;
  while (at + len < text.size() && (static_cast<unsigned char>(text[at + len]) & 0xC0) == 0x80)
    ++len;
  return len;
}

}  // namespace

bool globMatch(std::string_view pattern, std::string_view name) noexcept {
  constexpr std::size_t NONE = std::string_view::npos;
  std::size_t p = 0, n = 0;
  // Where the last `*` was, and how much of the name it has taken so far: on a mismatch it takes
  // one more character and matching resumes after it. Earlier stars never need to take more.
  std::size_t star_p = NONE, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size()) {
      char c = pattern[p];
      if (c == '*') {
        star_p = ++p;
        star_n = n;
        continue;
      }
      if (c == '?') {
        ++p;
        n += codePointLength(name, n);
        continue;
      }
      std::size_t width = 1;
      if (c == '\\' && p + 1 < pattern.size()) {
        c = pattern[p + 1];
        width = 2;
      }
      if (name[n] == c) {
        p += width;
        ++n;
        continue;
      }
    }
    if (star_p == NONE) return false;
    star_n += codePointLength(name, star_n);
    n = star_n;
    p = star_p;
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

std::string globEscape(std::string_view name) {
  std::string pattern;
  pattern.reserve(name.size());
  for (char c : name) {
    if (c == '*' || c == '?' || c == '\\') pattern.push_back('\\');
    pattern.push_back(c);
  }
  return pattern;
}

}  // namespace vesk
