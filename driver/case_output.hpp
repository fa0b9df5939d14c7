// What a case writes, kept within a bound: the first and the last bytes up to a limit each, and a
// count of what lay between, so that a case writing without end costs the driver a fixed amount
// of memory and its report stays readable (and small enough for any XML reader).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::driver {

/// How many bytes are kept at each end of a case's output unless --output-limit says otherwise.
inline constexpr std::size_t DEFAULT_OUTPUT_KEEP = std::size_t{64} * 1024;

/// The output of one case as it arrives.
class BoundedOutput {
 public:
  /// Keeps up to `keep` bytes (at least 1) of the start and as many of the end.
  explicit BoundedOutput(std::size_t keep) noexcept;

  /// Adds `bytes` to the end.
  void append(std::string_view bytes);
  /// Whether nothing arrived since the last `take` or `clear`.
  bool empty() const noexcept { return head_.empty(); }
  /// Bytes that arrived and were not kept.
  std::uint64_t leftOut() const noexcept { return left_out_; }
  /// The kept text, with a line saying how many bytes were left out between its two parts.
  std::string text() const;
  /// The kept text as `text` gives it; the output is empty afterwards.
  std::string take();
  /// Drops everything.
  void clear() noexcept;

 private:
  std::size_t keep_;
  std::string head_;
  std::string tail_;            // a ring of up to keep_ bytes once the head is full
  std::size_t tail_start_ = 0;  // oldest byte of the ring once it is full
  std::uint64_t left_out_ = 0;
};

}  // namespace vesk::driver
