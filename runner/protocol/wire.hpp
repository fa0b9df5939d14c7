// Framing of the build-driver protocol for both ends: the frame queue that gathers received bytes
// into whole messages, and the encoding of headers and requests. A harness executable's queue lives
// in a caller-given area and never allocates; the driver's owns storage that grows with the
// message. Neither end's descriptors, requests or replies are decided here.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <vesk/error.hpp>
#include "protocol.hpp"

namespace vesk {

/// Where received bytes come from: `read` fills a prefix of `dest` and returns how many bytes it
/// wrote, 0 once the stream has ended, or an error.
struct ByteSource {
  void* ctx = nullptr;
  Result<std::size_t> (*read)(void* ctx, std::span<std::byte> dest) = nullptr;
};

/// Where messages go: `writev` writes a prefix of the gathered `pieces` (at most 10) and returns
/// how many bytes it took, or an error.
struct ByteSink {
  void* ctx = nullptr;
  Result<std::size_t> (*writev)(void* ctx, std::span<const iovec> pieces) = nullptr;
};

/// What waiting for bytes of a message found.
enum class Arrival : std::uint8_t {
  ready,      ///< the awaited bytes are buffered
  closed,     ///< the input ended with nothing buffered: a clean end between messages
  truncated,  ///< the input ended with part of a message buffered
};

/// A byte queue of framed messages whose capacity is always a power of two (0 before the first
/// read) and grows only when the message being received needs it. Bytes read beyond the current
/// message stay queued for the next one.
class FrameQueue {
 public:
  /// An empty queue whose storage is the caller's `area`; it never allocates.
  explicit FrameQueue(std::span<std::byte> area) noexcept : area_(area) {}
  /// An empty queue that owns its storage and grows it for as long as a message needs.
  static FrameQueue growable() noexcept;
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;
  /// Moving keeps a growable queue's storage where it is, so its view of it stays valid.
  FrameQueue(FrameQueue&&) noexcept = default;
  FrameQueue& operator=(FrameQueue&&) noexcept = default;

  /// Reads until a whole header is buffered. "StreamTooLong" when the storage cannot hold one.
  [[nodiscard]] Result<Arrival> awaitHeader(ByteSource source) noexcept;
  /// Reads until the header and its `bytes_len` body bytes are buffered (after `awaitHeader` was
  /// ready). "StreamTooLong" at once, without reading, when the message cannot fit the storage.
  [[nodiscard]] Result<Arrival> awaitMessage(ByteSource source) noexcept;

  /// Free storage right after the buffered bytes for a read of its own: at least `room` bytes,
  /// `preferred` when the storage allows. "StreamTooLong" when it cannot make `room`.
  [[nodiscard]] Result<std::span<std::byte>> reserve(std::size_t room,
                                                     std::size_t preferred) noexcept;
  /// Counts `n` bytes written at the start of the span `reserve` gave as buffered.
  void commit(std::size_t n) noexcept;
  /// Bytes still missing for a whole header, or once a header is buffered for its whole message.
  std::size_t missing() const noexcept;

  /// Whether a whole header is buffered.
  bool hasHeader() const noexcept { return buffered() >= HEADER_LEN; }
  /// Whether a whole message (header and body) is buffered.
  bool hasMessage() const noexcept;
  /// The buffered header; valid once `hasHeader`.
  MessageHeader header() const noexcept;
  /// The buffered body; valid once `hasMessage`.
  std::span<const std::byte> body() const noexcept;
  /// Up to `len` buffered bytes from the front, whole messages or not.
  std::span<const std::byte> front(std::size_t len) const noexcept;
  /// Drops the current message, header and whole declared body, from the queue.
  void discardMessage() noexcept;
  /// Drops everything buffered.
  void clear() noexcept { start_ = end_ = 0; }

  /// Bytes of storage currently claimed (0 or a power of two).
  std::size_t capacity() const noexcept { return capacity_; }
  /// Bytes read but not yet discarded.
  std::size_t buffered() const noexcept { return end_ - start_; }

 private:
  FrameQueue() noexcept = default;
  // Ensures `wanted` bytes are buffered, asking for room for at least `preferred_room` bytes per
  // read when the storage allows it.
  Result<Arrival> fill(std::size_t wanted, std::size_t preferred_room, ByteSource source) noexcept;

  std::vector<std::byte> owned_;  // a growable queue's storage; never used over an area
  std::span<std::byte> area_;
  bool growable_ = false;
  std::size_t capacity_ = 0;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

/// A message header as it lies on the wire.
std::array<std::byte, HEADER_LEN> encodeHeader(std::uint32_t tag, std::uint32_t bytes_len) noexcept;
/// A header-only request (`exit`, `query_test_metadata`) as it lies on the wire.
std::array<std::byte, HEADER_LEN> encodeRequest(DriverTag tag) noexcept;
/// A whole `run_test` request for the case at `index` of the table.
std::array<std::byte, HEADER_LEN + RUN_TEST_LEN> encodeRunTest(std::uint32_t index) noexcept;

/// A `test_results` reply's body, decoded.
struct TestResults {
  std::uint32_t index = 0;  ///< the case it answers for
  std::uint32_t flags = 0;  ///< RESULT_* bits and the error count
};
/// Decodes a `test_results` body of TEST_RESULTS_LEN bytes.
TestResults decodeTestResults(std::span<const std::byte> body) noexcept;

/// Sends one message: the header for `tag` and the concatenated `parts` (at most 9) in one
/// gathered write, repeated for the remainder after a partial write.
[[nodiscard]] Result<void> sendMessage(ByteSink sink, ProgramTag tag,
                                       std::span<const std::span<const std::byte>> parts) noexcept;

}  // namespace vesk
