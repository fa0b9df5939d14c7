// Source locations for traces: each address printed as "{file}:{line}:{column}: 0x{x} in
// {function} ({unit})", followed by the source line and a caret when the file can be read, read
// from the running executable's own debug information, which is opened on first use only.
// Capturing addresses is stack_trace.hpp's business; this module only names them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <vesk/error.hpp>
#include <vesk/log.hpp>

namespace vesk {

/// How an address was captured: a return address is looked up at the call before it.
enum class AddressKind : std::uint8_t { return_address, exact };

/// Called after the entries of each address are written, with how many addresses are done: a
/// report that may have to be finished without source locations flushes there and takes note.
using PrintProgress = void (*)(Writer& out, std::size_t done) noexcept;

/// Prints min(index, 32) entries of `trace`, oldest first, one per recorded site, then how many
/// were skipped; on failure "Unable to dump stack trace: ..." instead.
void printErrorTrace(Writer& out, const ErrorTrace& trace,
                     PrintProgress progress = nullptr) noexcept;

/// Prints a captured stack, one entry per address plus one per inlined call that led there; on
/// failure "Unable to dump stack trace: ...". The first address is exact when `first_is_exact`
/// (a faulting instruction).
void printStackTrace(Writer& out, std::span<const std::uint64_t> addresses,
                     bool first_is_exact = false, PrintProgress progress = nullptr) noexcept;

/// Prints one "???:?:?: 0x{x} in ??? (???)" entry per address, each address as it would be looked
/// up, without touching the debug information, the heap or a lock: for a report that cannot wait
/// for source locations.
void printStackUnsymbolised(Writer& out, std::span<const std::uint64_t> addresses,
                            AddressKind first_kind) noexcept;

/// The rest of `trace` from its entry `from` on, in the same form, then how many were skipped.
void printErrorTraceUnsymbolised(Writer& out, const ErrorTrace& trace, std::size_t from) noexcept;

/// Prints `source` (one line, without its end) and, when `column` (from 1) falls on it, a line
/// with a caret under that column: tabs copied, one space per other character. A column of 0 or
/// past the end prints the source line alone.
void printSourceLine(Writer& out, std::string_view source, std::uint64_t column,
                     bool coloured) noexcept;

/// Prints an address record of the checking allocator: a line end, then the entries as for a
/// stack; on failure the "Unable to print stack trace" forms.
void printAddressRecord(Writer& out, std::span<const std::uint64_t> addresses) noexcept;

}  // namespace vesk
