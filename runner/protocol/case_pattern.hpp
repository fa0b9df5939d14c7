// Case-name patterns, the same for vesk-run and for a harness executable's own command line:
// `*` matches any run of characters, `?` one character (a UTF-8 code point), and a backslash makes
// the character after it literal. Patterns always match the whole name.
#pragma once

#include <string>
#include <string_view>

namespace vesk {

/// Whether `pattern` matches the whole of `name`.
bool globMatch(std::string_view pattern, std::string_view name) noexcept;

/// `name` as a pattern that matches exactly it: `\` put before every `*`, `?` and `\`.
std::string globEscape(std::string_view name);

}  // namespace vesk
