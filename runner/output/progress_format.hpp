// Turns a snapshot of the progress tree into bytes: the text lines the terminal display draws and
// the frames sent to a parent process. Pure functions on memory; nothing here knows about
// terminals, escape sequences or descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vesk {

/// The parent index of the root entry of a snapshot.
inline constexpr std::uint32_t PROGRESS_NO_PARENT = 0xFFFFFFFF;

/// One node of a snapshot; entries are in depth-first order, so a parent precedes its children.
struct ProgressEntry {
  std::uint32_t parent = PROGRESS_NO_PARENT;  ///< index of the parent entry
  std::uint64_t completed = 0;                ///< children that have ended
  std::uint64_t estimated_total = 0;          ///< expected children, 0 for no estimate
  std::string_view name;
};

/// What `formatProgressLines` wrote: bytes used and number of lines (each ends with '\n').
struct ProgressText {
  std::size_t size = 0;
  std::size_t lines = 0;
};

/// Writes one line per entry: tree connectors, "[{completed}/{total}] " or "[{completed}] ", then
/// the name, cut to `columns` display columns by the Unicode width tables; at most `max_lines`
/// lines, and only whole lines that fit in `out`. How widths, control characters and ill-formed
/// UTF-8 are shown: docs/progress-display.md.
ProgressText formatProgressLines(std::span<const ProgressEntry> entries, std::size_t columns,
                                 std::size_t max_lines, std::span<char> out) noexcept;

/// Encodes `entries` as one frame for a parent process (little-endian lengths, counts and a node
/// per entry; layout in docs/progress-display.md) and returns its length. Nodes that do not fit
/// in `out` are left out with everything after them, so a frame describes a whole subtree; an
/// empty body says the root has ended.
std::size_t encodeProgressFrame(std::span<const ProgressEntry> entries,
                                std::span<std::byte> out) noexcept;

}  // namespace vesk
