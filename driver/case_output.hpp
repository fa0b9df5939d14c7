// What a case writes, kept within a bound: the first and the last bytes up to a limit each, and a
// count of what lay between, so that a case writing without end costs the driver a fixed amount
// of memory and its report stays readable (and small enough for any XML reader). A server's
// standard error is cut into its cases' outputs at their end markers when it writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "case_marker.hpp"

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

/// What a case wrote before its end marker, and how long it took as its server timed it.
struct EndedOutput {
  std::string text;
  double seconds = 0;
};

/// A server's standard error as the outputs of its cases. With a marker, what comes before the
/// marker of the server's k-th case is that case's output (each bounded); without one, or after
/// the last marker, the bytes form the open output, which the driver hands out as it decides.
class CaseOutputs {
 public:
  /// Keeps `keep` bytes at each end of every output; cuts at nothing until `cutAt`.
  explicit CaseOutputs(std::size_t keep) noexcept : open_(keep) {}

  /// Cuts at the markers of `marker` (inactive: at none) from the server's first case on.
  void cutAt(const CaseMarker& marker) noexcept { marker_ = marker; }
  /// Whether the stream is cut at markers.
  bool cuts() const noexcept { return marker_.active(); }
  /// Adds what the server wrote next.
  void append(std::string_view bytes);

  /// Whether an output ended at its marker and was not taken yet.
  bool hasEnded() const noexcept { return !ended_.empty(); }
  /// The oldest output that ended at its marker (`hasEnded` must be true).
  EndedOutput takeEnded();
  /// Everything not taken yet, ended outputs and the open one, as one text: the output of a case
  /// whose server ended before its result.
  std::string takeAll();
  /// The open output as BoundedOutput::take gives it; it is empty afterwards.
  std::string take();
  /// The open output, as `take` would give it.
  std::string text() const;
  /// Drops everything, for a fresh server: its markers count from its first case again.
  void clear() noexcept;

 private:
  // Cuts `bytes` at every marker it holds; a tail that may begin the next marker is held back.
  void scan(std::string_view bytes);
  // Holds back the longest end of `bytes` that the next marker's head starts with, if any.
  void holdPartialHead(std::string_view bytes);

  CaseMarker marker_;
  std::uint64_t next_ = 1;  // the sequence number of the marker looked for
  BoundedOutput open_;
  std::string held_;  // the end of what arrived, while it may be the start of a marker
  std::deque<EndedOutput> ended_;
};

}  // namespace vesk::driver
