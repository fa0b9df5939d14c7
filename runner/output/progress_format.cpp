#include "progress_format.hpp"

#include <utf8proc.h>

#include <array>
#include <charconv>
#include <cstring>

namespace vesk {

namespace {

constexpr std::string_view BRANCH = "├─ ";
constexpr std::string_view LAST_BRANCH = "└─ ";
constexpr std::string_view PIPE = "│  ";
constexpr std::string_view SPACE = "   ";

// Deepest tree drawn with full connectors; deeper levels still draw, only flatter.
constexpr std::size_t MAX_DEPTH = 64;

// Shown for a byte that is not part of well-formed UTF-8: terminals disagree on how many columns
// such bytes take, while the replacement character takes exactly one.
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// A C0 or C1 control character (or DEL) would move the cursor or start an escape sequence.
bool isControl(std::int32_t code_point) noexcept {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

// Builds one line in a byte span, dropping whatever goes past the column budget.
class LineBuilder {
 public:
  LineBuilder(std::span<char> out, std::size_t columns) noexcept : out_(out), columns_(columns) {}

  void text(std::string_view text) noexcept {
    const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    for (std::size_t i = 0; i < text.size() && !full_;) {
      utf8proc_int32_t code_point = 0;
      const utf8proc_ssize_t n =
          utf8proc_iterate(data + i, static_cast<utf8proc_ssize_t>(text.size() - i), &code_point);
      std::string_view shown = REPLACEMENT;
      std::size_t width = 1;
      if (n <= 0) {
        i += 1;
      } else if (isControl(code_point)) {
        shown = "?";
        i += static_cast<std::size_t>(n);
      } else {
        shown = text.substr(i, static_cast<std::size_t>(n));
        width = static_cast<std::size_t>(utf8proc_charwidth(code_point));
        i += static_cast<std::size_t>(n);
      }
      // Past the first character that does not fit nothing is drawn, not even a narrower one
      // or a combining mark, which would attach to the wrong character.
      if (width > columns_) {
        full_ = true;
        return;
      }
      bytes(shown);
      columns_ -= width;
    }
  }

  void number(std::uint64_t value) noexcept {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }

  // Ends the line; false when it did not fit in the span.
  bool finish() noexcept {
    bytes("\n");
    return !overflow_;
  }

  std::size_t size() const noexcept { return len_; }

 private:
  void bytes(std::string_view b) noexcept {
    if (b.size() > out_.size() - len_) {
      overflow_ = true;
      return;
    }
    std::memcpy(out_.data() + len_, b.data(), b.size());
    len_ += b.size();
  }

  std::span<char> out_;
  std::size_t columns_;
  std::size_t len_ = 0;
  bool full_ = false;
  bool overflow_ = false;
};

bool isLastChild(std::span<const ProgressEntry> entries, std::size_t i) noexcept {
  for (std::size_t j = i + 1; j < entries.size(); ++j) {
    if (entries[j].parent == entries[i].parent) return false;
  }
  return true;
}

// A parent index is usable only when it points backwards; anything else is drawn as a root.
bool hasParent(std::span<const ProgressEntry> entries, std::size_t i) noexcept {
  return entries[i].parent != PROGRESS_NO_PARENT && entries[i].parent < i;
}

void writeConnectors(LineBuilder& line, std::span<const ProgressEntry> entries,
                     std::size_t i) noexcept {
  if (!hasParent(entries, i)) return;
  // Ancestors below the top level, nearest first; each continues its column with a bar while it
  // still has later siblings.
  std::array<bool, MAX_DEPTH> ancestor_is_last{};
  std::size_t depth = 0;
  for (std::size_t a = entries[i].parent; hasParent(entries, a) && depth < MAX_DEPTH;
       a = entries[a].parent) {
    ancestor_is_last[depth++] = isLastChild(entries, a);
  }
  while (depth > 0)
    line.text(ancestor_is_last[--depth] ? SPACE : PIPE);
  line.text(isLastChild(entries, i) ? LAST_BRANCH : BRANCH);
}

void putU32(std::byte* at, std::uint32_t value) noexcept {
  for (int k = 0; k < 4; ++k)
    at[k] = static_cast<std::byte>(value >> (8 * k));
}

void putU64(std::byte* at, std::uint64_t value) noexcept {
  for (int k = 0; k < 8; ++k)
    at[k] = static_cast<std::byte>(value >> (8 * k));
}

}  // namespace

ProgressText formatProgressLines(std::span<const ProgressEntry> entries, std::size_t columns,
                                 std::size_t max_lines, std::span<char> out) noexcept {
  ProgressText result;
  for (std::size_t i = 0; i < entries.size() && result.lines < max_lines; ++i) {
    const ProgressEntry& entry = entries[i];
    LineBuilder line(out.subspan(result.size), columns);
    writeConnectors(line, entries, i);
    if (entry.estimated_total != 0) {
      line.text("[");
      line.number(entry.completed);
      line.text("/");
      line.number(entry.estimated_total);
      line.text("] ");
    } else if (entry.completed != 0) {
      line.text("[");
      line.number(entry.completed);
      line.text("] ");
    }
    line.text(entry.name);
    if (!line.finish()) break;
    result.size += line.size();
    ++result.lines;
  }
  return result;
}

std::size_t encodeProgressFrame(std::span<const ProgressEntry> entries,
                                std::span<std::byte> out) noexcept {
  constexpr std::size_t HEADER_SIZE = 8;
  constexpr std::size_t NODE_FIXED_SIZE = 4 + 8 + 8 + 4;
  if (out.size() < HEADER_SIZE) return 0;
  std::size_t len = HEADER_SIZE;
  std::uint32_t count = 0;
  for (const ProgressEntry& entry : entries) {
    if (entry.name.size() > UINT32_MAX - NODE_FIXED_SIZE) break;
    const std::size_t node_size = NODE_FIXED_SIZE + entry.name.size();
    if (node_size > out.size() - len) break;
    std::byte* at = out.data() + len;
    putU32(at, entry.parent);
    putU64(at + 4, entry.completed);
    putU64(at + 12, entry.estimated_total);
    putU32(at + 20, static_cast<std::uint32_t>(entry.name.size()));
    std::memcpy(at + NODE_FIXED_SIZE, entry.name.data(), entry.name.size());
    len += node_size;
    ++count;
  }
  putU32(out.data(), static_cast<std::uint32_t>(len - 4));
  putU32(out.data() + 4, count);
  return len;
}

}  // namespace vesk
