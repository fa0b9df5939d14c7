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
/// the name, cut to `columns` display columns; at most `max_lines` lines, and only whole lines that
/// fit in `out`. Widths come from the Unicode tables: wide characters take two columns (one that
/// would straddle the last column is left out, with everything after it), combining marks and
/// zero-width characters none, ambiguous-width characters one. Control characters are shown as
/// '?' so that a line stays one line, and bytes that are not well-formed UTF-8 as U+FFFD, one per
/// byte, so that every drawn column is accounted for.
ProgressText formatProgressLines(std::span<const ProgressEntry> entries, std::size_t columns,
                                 std::size_t max_lines, std::span<char> out) noexcept;

/// Encodes `entries` as one frame for a parent process and returns its length. All integers are
/// little-endian:
///   frame = u32 body_length, body
///   body  = u32 node_count, node_count * node
///   node  = u32 parent index (0xFFFFFFFF for the root), u64 completed, u64 estimated total,
///           u32 name length, name bytes
/// Nodes that do not fit in `out` are left out together with everything after them, so a frame
/// always describes a whole subtree. An empty body (node_count 0) says the root has ended.
std::size_t encodeProgressFrame(std::span<const ProgressEntry> entries,
                                std::span<std::byte> out) noexcept;

}  // namespace vesk
