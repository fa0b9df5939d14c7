// Build-driver mode: serves a build driver over standard input and output in framed
// little-endian messages, reporting the case list and running single cases on request. The
// receive queue and the exchange take their streams as small function records, so that tests
// and fuzzers can drive them from memory; `mainServer` plugs in the process's own descriptors.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <vesk/allocator.hpp>
#include <vesk/error.hpp>
#include <vesk/test_case.hpp>
#include "protocol.hpp"

namespace vesk {

/// Where received bytes come from: `read` fills a prefix of `dest` and returns how many bytes it
/// wrote, 0 once the stream has ended, or an error.
struct ByteSource {
  void* ctx = nullptr;
  Result<std::size_t> (*read)(void* ctx, std::span<std::byte> dest) = nullptr;
};

/// Where replies go: `writev` writes a prefix of the gathered `pieces` (at most 10) and returns how
/// many bytes it took, or an error.
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

/// The receive queue: a byte queue living at the start of `area` whose capacity is always a power
/// of two (0 before the first read) and grows only when the message being received needs it.
/// Bytes read beyond the current message stay queued for the next one.
class ReceiveQueue {
 public:
  /// An empty queue that may use at most `area` for its storage.
  explicit ReceiveQueue(std::span<std::byte> area) noexcept : area_(area) {}

  /// Reads until a whole header is buffered. "StreamTooLong" when the area cannot hold a header.
  [[nodiscard]] Result<Arrival> awaitHeader(ByteSource source) noexcept;
  /// Reads until the header and its `bytes_len` body bytes are buffered (after `awaitHeader` was
  /// ready). "StreamTooLong" at once, without reading, when the message cannot fit the area.
  [[nodiscard]] Result<Arrival> awaitMessage(ByteSource source) noexcept;

  /// The buffered header; valid once `awaitHeader` was ready.
  MessageHeader header() const noexcept;
  /// The buffered body; valid once `awaitMessage` was ready.
  std::span<const std::byte> body() const noexcept;
  /// Drops the current message, header and whole declared body, from the queue.
  void discardMessage() noexcept;

  /// Bytes of storage currently claimed from the area (0 or a power of two).
  std::size_t capacity() const noexcept { return capacity_; }
  /// Bytes read but not yet discarded.
  std::size_t buffered() const noexcept { return end_ - start_; }

 private:
  // Ensures `wanted` bytes are buffered, asking for room for at least `preferred_room` bytes per
  // read when the area allows it.
  Result<Arrival> fill(std::size_t wanted, std::size_t preferred_room, ByteSource source) noexcept;
  // Makes at least `room` bytes free after the buffered ones; `preferred` is taken when it fits.
  Result<void> makeRoom(std::size_t room, std::size_t preferred) noexcept;

  std::span<std::byte> area_;
  std::size_t capacity_ = 0;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

/// Sends one message: the header for `tag` and the concatenated `parts` (at most 9) in one
/// gathered write, repeated for the remainder after a partial write.
[[nodiscard]] Result<void> sendMessage(ByteSink sink, ProgramTag tag,
                                       std::span<const std::span<const std::byte>> parts) noexcept;

/// How an exchange ended without a stream error.
enum class ExchangeEnd : std::uint8_t {
  exit_request,     ///< the driver sent `exit` (status 0)
  input_closed,     ///< the input ended between messages (status 0)
  unsupported,      ///< an unsupported tag arrived (status 1)
  invalid_request,  ///< a `run_test` named no case or had a body other than 4 bytes (status 1)
  truncated,        ///< the input ended in the middle of a message (status 1)
};

/// The process exit status for `end`.
int exitStatus(ExchangeEnd end) noexcept;

/// What an exchange needs besides the case table.
struct ExchangeStreams {
  ByteSource input;
  ByteSink output;
  /// Receives the metadata reply's arrays; the checking allocator in the product.
  Allocator metadata_allocator;
};

/// Runs the exchange: sends `toolchain_version`, then answers requests until one ends it. Messages
/// on standard error explain every end with status 1. Returns an error of the streams, a message
/// that cannot fit `receive_area`, or a failed allocation of the metadata reply.
[[nodiscard]] Result<ExchangeEnd> serveExchange(std::span<const TestCase> cases,
                                                std::span<std::byte> receive_area,
                                                ExchangeStreams streams) noexcept;

/// Runs the exchange on standard input and output until it ends; returns the process's exit
/// status, or an error of the streams. `receive_area` is the free part of the command-line
/// buffer, which holds the receive queue.
Result<int> mainServer(std::span<const TestCase> cases, std::span<std::byte> receive_area) noexcept;

}  // namespace vesk
