#include "wire.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include <vesk/panic.hpp>

namespace vesk {

namespace {

// Every read waiting for a header asks for this much room, so that a burst of small messages
// arrives in one read instead of one per message.
constexpr std::size_t HEADER_READ_ROOM = 256;
// A message goes out in at most ten pieces: the header and up to nine body parts.
constexpr std::size_t MAX_BODY_PARTS = 9;

}  // namespace

FrameQueue FrameQueue::growable() noexcept {
  FrameQueue queue;
  queue.growable_ = true;
  return queue;
}

Result<Arrival> FrameQueue::awaitHeader(ByteSource source) noexcept {
  const Arrival arrival = VESK_TRY(fill(HEADER_LEN, HEADER_READ_ROOM, source));
  return arrival;
}

Result<Arrival> FrameQueue::awaitMessage(ByteSource source) noexcept {
  const std::size_t message_len = HEADER_LEN + header().bytes_len;
  const Arrival arrival = VESK_TRY(fill(message_len, 0, source));
  return arrival;
}

bool FrameQueue::hasMessage() const noexcept {
  return hasHeader() && buffered() - HEADER_LEN >= header().bytes_len;
}

std::size_t FrameQueue::missing() const noexcept {
  if (!hasHeader()) return HEADER_LEN - buffered();
  const std::size_t message_len = HEADER_LEN + std::size_t{header().bytes_len};
  return message_len > buffered() ? message_len - buffered() : 0;
}

MessageHeader FrameQueue::header() const noexcept {
  if (buffered() < HEADER_LEN) panicOutOfBounds(HEADER_LEN, buffered());
  const std::byte* p = area_.data() + start_;
  return MessageHeader{loadU32(p), loadU32(p + 4)};
}

std::span<const std::byte> FrameQueue::body() const noexcept {
  const std::size_t len = header().bytes_len;
  if (buffered() < HEADER_LEN + len) panicOutOfBounds(HEADER_LEN + len, buffered());
  return area_.subspan(start_ + HEADER_LEN, len);
}

std::span<const std::byte> FrameQueue::front(std::size_t len) const noexcept {
  return area_.subspan(start_, std::min(len, buffered()));
}

void FrameQueue::discardMessage() noexcept {
  const std::size_t len = HEADER_LEN + header().bytes_len;
  if (buffered() < len) panicOutOfBounds(len, buffered());
  start_ += len;
  if (start_ == end_) start_ = end_ = 0;
}

Result<std::span<std::byte>> FrameQueue::reserve(std::size_t room, std::size_t preferred) noexcept {
  preferred = std::max(preferred, room);
  if (start_ != 0) {
    std::memmove(area_.data(), area_.data() + start_, buffered());
    end_ -= start_;
    start_ = 0;
  }
  if (capacity_ - end_ < room) {
    if (growable_) {
      // Only the driver's queue grows, for a message whose length it has accepted; running out of
      // memory there is a stop like any other allocation failure.
      capacity_ = std::bit_ceil(end_ + preferred);
      owned_.resize(capacity_);
      area_ = owned_;
    } else {
      // The capacity stays a power of two, so the largest usable part of the area is one too.
      const std::size_t limit = std::bit_floor(area_.size());
      if (room > limit - end_) return VESK_FAIL(Error::StreamTooLong);
      capacity_ = std::min(std::bit_ceil(end_ + preferred), limit);
    }
  }
  return area_.subspan(end_, capacity_ - end_);
}

void FrameQueue::commit(std::size_t n) noexcept {
  if (n > capacity_ - end_) panic("more bytes committed than were reserved");
  end_ += n;
}

Result<Arrival> FrameQueue::fill(std::size_t wanted, std::size_t preferred_room,
                                 ByteSource source) noexcept {
  while (buffered() < wanted) {
    const std::size_t missing = wanted - buffered();
    const std::span<std::byte> free_space = VESK_TRY(reserve(missing, preferred_room));
    const std::size_t n = VESK_TRY(source.read(source.ctx, free_space));
    if (n > free_space.size()) panic("byte source reported more bytes than it was given room for");
    if (n == 0) return buffered() == 0 ? Arrival::closed : Arrival::truncated;
    commit(n);
  }
  return Arrival::ready;
}

std::array<std::byte, HEADER_LEN> encodeHeader(std::uint32_t tag,
                                               std::uint32_t bytes_len) noexcept {
  std::array<std::byte, HEADER_LEN> bytes;
  storeU32(bytes.data(), tag);
  storeU32(bytes.data() + 4, bytes_len);
  return bytes;
}

std::array<std::byte, HEADER_LEN> encodeRequest(DriverTag tag) noexcept {
  return encodeHeader(static_cast<std::uint32_t>(tag), 0);
}

std::array<std::byte, HEADER_LEN + RUN_TEST_LEN> encodeRunTest(std::uint32_t index) noexcept {
  std::array<std::byte, HEADER_LEN + RUN_TEST_LEN> bytes;
  const auto header = encodeHeader(static_cast<std::uint32_t>(DriverTag::run_test), RUN_TEST_LEN);
  std::copy(header.begin(), header.end(), bytes.begin());
  storeU32(bytes.data() + HEADER_LEN, index);
  return bytes;
}

TestResults decodeTestResults(std::span<const std::byte> body) noexcept {
  if (body.size() != TEST_RESULTS_LEN) panicOutOfBounds(body.size(), TEST_RESULTS_LEN);
  return {loadU32(body.data()), loadU32(body.data() + 4)};
}

Result<void> sendMessage(ByteSink sink, ProgramTag tag,
                         std::span<const std::span<const std::byte>> parts) noexcept {
  if (parts.size() > MAX_BODY_PARTS) panicOutOfBounds(parts.size(), MAX_BODY_PARTS + 1);
  std::size_t body_len = 0;
  for (std::span<const std::byte> part : parts)
    body_len = checkedAdd(body_len, part.size());

  std::array<std::byte, HEADER_LEN> header =
      encodeHeader(static_cast<std::uint32_t>(tag), checkedCast<std::uint32_t>(body_len));

  std::array<iovec, MAX_BODY_PARTS + 1> pieces;
  std::size_t count = 0;
  pieces[count++] = iovec{header.data(), header.size()};
  for (std::span<const std::byte> part : parts) {
    // writev never dereferences an empty piece, so dropping constness here is harmless.
    if (!part.empty()) pieces[count++] = iovec{const_cast<std::byte*>(part.data()), part.size()};
  }

  std::size_t first = 0;
  std::size_t remaining = HEADER_LEN + body_len;
  while (remaining != 0) {
    std::size_t n =
        VESK_TRY(sink.writev(sink.ctx, std::span(pieces.data() + first, count - first)));
    if (n > remaining) panic("byte sink reported more bytes than it was given");
    // Nothing written and no error would repeat forever.
    if (n == 0) return VESK_FAIL(Error::InputOutput);
    remaining -= n;
    while (n != 0) {
      iovec& piece = pieces[first];
      if (n >= piece.iov_len) {
        n -= piece.iov_len;
        ++first;
      } else {
        piece.iov_base = static_cast<std::byte*>(piece.iov_base) + n;
        piece.iov_len -= n;
        n = 0;
      }
    }
  }
  return {};
}

}  // namespace vesk
