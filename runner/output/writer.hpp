// Writing without allocating, for every printer of the harness and the build driver: whole writes
// to a descriptor, the names of errno values and the shortest round-trip form of floats. The
// buffered `Writer` itself is declared with the log's interface (<vesk/log.hpp>), which hands one
// to a message's body; its members are defined here.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include <vesk/log.hpp>

namespace vesk {

/// Writes all `len` bytes, going on after interruptions and partial writes; 0, or the errno of the
/// write that failed.
int writeAll(int fd, const void* data, std::size_t len) noexcept;

/// The symbolic name of an errno value ("EAGAIN"), or "Unexpected" for one without a name.
std::string_view errnoName(int code) noexcept;

/// Writes `value` in the shortest scientific form that reads back to the same double ("1e0",
/// "-2.5e0", "5e-1", "nan", "-inf") into `out` (at least 32 bytes); returns the text. This is the
/// form `Writer::flt` prints, and with it expectation messages.
std::string_view formatFloat(std::span<char, 32> out, double value) noexcept;
/// The same for a single-precision value, shortest at single precision.
std::string_view formatFloat(std::span<char, 32> out, float value) noexcept;

}  // namespace vesk
