// The case-end marker, which both ends must spell alike: a driver that wants to send requests
// ahead passes a random token in an environment variable, and a harness executable in
// build-driver mode then writes a marker on its standard error after the output of each case,
// before that case's result. The protocol's own bytes do not change; a program that does not know
// the variable writes no markers, and the driver keeps one request in flight for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesk {

/// The environment variable that carries the token; a server reads it once and removes it, so
/// that programs its cases start do not mark anything.
inline constexpr char CASE_MARKER_VARIABLE[] = "VESK_CASE_MARKER";
/// A token is this many ASCII letters and digits at least, and at most CASE_MARKER_TOKEN_MAX.
inline constexpr std::size_t CASE_MARKER_TOKEN_MIN = 16;
inline constexpr std::size_t CASE_MARKER_TOKEN_MAX = 64;

/// Whether `token` is one a server accepts (any other value is ignored: no markers).
bool isCaseMarkerToken(std::string_view token) noexcept;

/// The markers of one token: "\x1f" "vesk-case-end:" TOKEN ":" SEQUENCE ":" NANOSECONDS "\x1f",
/// the sequence counting a server's `run_test` requests from 1 and the nanoseconds (decimal, at
/// most 20 digits) the case took as the server timed it. The unit separator and the token keep
/// case output from forming one by accident; the sequence keeps a marker from counting twice; the
/// time is the case's own even when the driver reads several results at once.
class CaseMarker {
 public:
  /// No token: marks nothing.
  CaseMarker() noexcept = default;
  /// The markers of `token`, or none when it is not a valid token.
  explicit CaseMarker(std::string_view token) noexcept;

  /// Whether there is a token.
  bool active() const noexcept { return prefix_len_ != 0; }
  /// The marker after the `sequence`-th case, which took `nanoseconds`; valid until the next
  /// call. Empty when not active.
  std::string_view text(std::uint64_t sequence, std::uint64_t nanoseconds) noexcept;
  /// The marker's fixed start for the `sequence`-th case, through the ':' before the time; valid
  /// until the next call. Empty when not active.
  std::string_view head(std::uint64_t sequence) noexcept;

  /// The most digits a marker's time has.
  static constexpr std::size_t TIME_DIGITS_MAX = 20;

 private:
  static constexpr std::string_view PREFIX = "\x1fvesk-case-end:";
  // The prefix, the token, ':', up to 20 digits, ':', up to 20 digits and the closing separator.
  std::array<char, PREFIX.size() + CASE_MARKER_TOKEN_MAX + 43> text_{};
  std::size_t prefix_len_ = 0;  // through the ':' after the token; 0 when not active
};

}  // namespace vesk
