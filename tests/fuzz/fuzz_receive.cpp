// Fuzz target for the protocol's receive path: arbitrary byte streams delivered in arbitrary
// pieces into areas of every size, through the frame queue alone and through a whole exchange,
// checked against a plain model of the protocol written here. The input's layout (5 option
// bytes, then the stream) and what is checked: docs/test-tools.md.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <vesk/vesk_harness.hpp>
#include "failing_allocator.hpp"
#include "server.hpp"
#include "wire.hpp"

namespace {

using vesk::Arrival;
using vesk::Error;
using vesk::ExchangeEnd;
using vesk::HEADER_LEN;
using vesk::Result;
using Bytes = std::vector<std::uint8_t>;

// A finding: says what broke and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* what) {
  // On standard output: fuzzing runs close standard error, which the exchange fills with messages.
  (void)std::printf("fuzz_receive: %s\n", what);
  (void)std::fflush(stdout);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

std::uint32_t loadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void appendU32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// ---------------------------------------------------------------------------------------------
// The case table: results of every kind the record can carry, each run logged.

std::vector<int> runs;  // the case indices in the order they ran

Result<void> passes() {
  runs.push_back(0);
  return {};
}
Result<void> fails() {
  runs.push_back(1);
  return std::unexpected(Error::TestUnexpectedResult);
}
Result<void> skips() {
  runs.push_back(2);
  return std::unexpected(Error::SkipCase);
}
Result<void> logsAnError() {
  runs.push_back(3);
  vesk::log(vesk::LogLevel::err, "fuzz", "one error-level message");
  return {};
}

constexpr vesk::TestCase CASES[] = {
    {"fuzz.test.passes", passes},
    {"fuzz.test.fails", fails},
    {"fuzz.test.skips", skips},
    {"fuzz.test.logs an error", logsAnError},
};
// The flags each case's result record carries: fail, skip, and the error count from bit 3.
constexpr std::array<std::uint32_t, 4> CASE_FLAGS = {0, 1, 2, 8};

// ---------------------------------------------------------------------------------------------
// The area, poisoned beyond what the queue has claimed

// The receive area on the heap at its exact size, so that AddressSanitizer's red zones sit right
// after it. Beyond the storage the queue has claimed it stays poisoned: the queue claims storage
// by handing it to a read, so the source moves the boundary to the end of each destination.
class Area {
 public:
  explicit Area(std::size_t size) : size_(size), bytes_(new std::byte[size == 0 ? 1 : size]) {
    claim(0);
  }
  ~Area() { ASAN_UNPOISON_MEMORY_REGION(bytes_.get(), size_); }
  Area(const Area&) = delete;
  Area& operator=(const Area&) = delete;

  std::span<std::byte> span() { return {bytes_.get(), size_}; }
  std::size_t limit() const { return size_ == 0 ? 0 : std::bit_floor(size_); }

  // Everything up to `end` may be used; the rest is poisoned.
  void claim(std::size_t end) {
    ASAN_UNPOISON_MEMORY_REGION(bytes_.get(), end);
    ASAN_POISON_MEMORY_REGION(bytes_.get() + end, size_ - end);
  }

  // Checks a destination handed to a read: inside the area's usable power-of-two part, after
  // which it becomes the claimed storage.
  void checkDestination(std::span<std::byte> dest) {
    check(!dest.empty(), "a read was given no room (its 0 would look like the end of input)");
    check(dest.data() >= bytes_.get(), "a read starts before the area");
    const auto end = static_cast<std::size_t>(dest.data() + dest.size() - bytes_.get());
    check(end <= limit(), "a read reaches past the largest power of two inside the area");
    check(std::has_single_bit(end), "the storage claimed for a read is not a power of two");
    claim(end);
  }

 private:
  std::size_t size_;
  std::unique_ptr<std::byte[]> bytes_;
};

// ---------------------------------------------------------------------------------------------
// Streams

// Delivers the stream in pieces chosen by a small generator, never more than the room given.
class Source {
 public:
  Source(std::span<const std::uint8_t> data, std::uint8_t seed, bool fail_at_end, Area& area)
      : data_(data),
        state_(seed * 0x9E3779B9u + 1),
        split_(seed != 0),
        fail_(fail_at_end),
        area_(area) {}

  vesk::ByteSource source() { return vesk::ByteSource{this, read}; }
  std::size_t delivered() const { return pos_; }

 private:
  static Result<std::size_t> read(void* ctx, std::span<std::byte> dest) {
    auto& self = *static_cast<Source*>(ctx);
    self.area_.checkDestination(dest);
    if (self.pos_ == self.data_.size()) {
      ++self.reads_at_end_;
      check(self.reads_at_end_ <= 1, "read again after the input ended");
      if (self.fail_) return std::unexpected(Error::InputOutput);
      return std::size_t{0};
    }
    std::size_t n = std::min(dest.size(), self.data_.size() - self.pos_);
    if (self.split_) n = std::min(n, self.nextPiece());
    std::memcpy(dest.data(), self.data_.data() + self.pos_, n);
    self.pos_ += n;
    return n;
  }

  // Mostly small pieces (headers split anywhere), sometimes large ones.
  std::size_t nextPiece() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    const std::uint32_t r = state_;
    if ((r & 3) != 0) return 1 + (r >> 8) % 9;
    return 1 + (r >> 8) % 700;
  }

  std::span<const std::uint8_t> data_;
  std::uint32_t state_;
  bool split_;
  bool fail_;
  Area& area_;
  std::size_t pos_ = 0;
  int reads_at_end_ = 0;
};

// Collects the replies, taking at most `max_per_call` bytes per gathered write and failing once
// `fail_after` bytes are out; remembers how much input had been delivered at each write.
class Sink {
 public:
  Sink(const Source& source, std::size_t max_per_call, std::size_t fail_after)
      : source_(source), max_per_call_(max_per_call), fail_after_(fail_after) {}

  vesk::ByteSink sink() { return vesk::ByteSink{this, writev}; }
  const Bytes& out() const { return out_; }

  // Input delivered when the byte at `offset` of the output was written.
  std::size_t deliveredWhenWritten(std::size_t offset) const {
    for (const auto& [start, delivered] : writes_) {
      if (offset >= start) return delivered;  // writes_ is newest first
    }
    fail("no write covers the offset");
  }

 private:
  static Result<std::size_t> writev(void* ctx, std::span<const iovec> pieces) {
    auto& self = *static_cast<Sink*>(ctx);
    check(!pieces.empty() && pieces.size() <= 10, "a gathered write of 0 or more than 10 pieces");
    if (self.out_.size() >= self.fail_after_) return std::unexpected(Error::BrokenPipe);
    std::size_t budget = std::min(self.max_per_call_, self.fail_after_ - self.out_.size());
    const std::size_t start = self.out_.size();
    for (const iovec& piece : pieces) {
      const std::size_t n = std::min(budget, piece.iov_len);
      const auto* p = static_cast<const std::uint8_t*>(piece.iov_base);
      self.out_.insert(self.out_.end(), p, p + n);
      budget -= n;
      if (budget == 0) break;
    }
    self.writes_.insert(self.writes_.begin(), {start, self.source_.delivered()});
    return self.out_.size() - start;
  }

  const Source& source_;
  std::size_t max_per_call_;
  std::size_t fail_after_;
  Bytes out_;
  std::vector<std::pair<std::size_t, std::size_t>> writes_;
};

// ---------------------------------------------------------------------------------------------
// The model

struct Reply {
  std::size_t request_end;  // stream offset just past the request it answers (0: none)
  Bytes bytes;
};

struct Outcome {
  std::vector<Reply> replies;
  std::vector<int> runs;
  std::optional<ExchangeEnd> end;  // or, when absent, `error`
  Error error = Error::Unexpected;
};

void appendMessage(Bytes& out, std::uint32_t tag, const Bytes& body) {
  appendU32(out, tag);
  appendU32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
}

Bytes metadataReply() {
  Bytes strings{0};
  Bytes names;
  Bytes panics;
  for (const vesk::TestCase& test : CASES) {
    appendU32(names, static_cast<std::uint32_t>(strings.size()));
    appendU32(panics, 0);
    strings.insert(strings.end(), test.name.begin(), test.name.end());
    strings.push_back(0);
  }
  Bytes body;
  appendU32(body, static_cast<std::uint32_t>(strings.size()));
  appendU32(body, static_cast<std::uint32_t>(std::size(CASES)));
  body.insert(body.end(), names.begin(), names.end());
  body.insert(body.end(), panics.begin(), panics.end());
  body.insert(body.end(), strings.begin(), strings.end());
  Bytes out;
  appendMessage(out, 3, body);
  return out;
}

bool supported(std::uint32_t tag) {
  return tag == 0 || tag == 4 || tag == 5;
}

// What a whole exchange over `stream` must send and how it must end, in an area whose usable
// part is `limit` bytes. The end of input turns into the source's error when it fails instead.
Outcome modelExchange(std::span<const std::uint8_t> stream, std::size_t limit, bool fail_at_end,
                      bool metadata_fails) {
  Outcome o;
  Bytes version;
  appendMessage(version, 0, Bytes{'0', '.', '1', '3', '.', '0'});
  o.replies.push_back({0, version});
  auto ended = [&](ExchangeEnd end) {
    if (fail_at_end) {
      o.error = Error::InputOutput;
    } else {
      o.end = end;
    }
    return o;
  };
  // With no room for a header the queue fails before it reads anything.
  if (limit < HEADER_LEN) {
    o.error = Error::StreamTooLong;
    return o;
  }
  std::size_t pos = 0;
  for (;;) {
    const std::size_t left = stream.size() - pos;
    if (left == 0) return ended(ExchangeEnd::input_closed);
    if (left < HEADER_LEN) return ended(ExchangeEnd::truncated);
    const std::uint32_t tag = loadU32(&stream[pos]);
    const std::uint32_t len = loadU32(&stream[pos + 4]);
    if (!supported(tag)) {
      o.end = ExchangeEnd::unsupported;
      return o;
    }
    // An exit ends the exchange on its header alone, whatever its body.
    if (tag == 0) {
      o.end = ExchangeEnd::exit_request;
      return o;
    }
    if (tag == 5 && len != 4) {
      o.end = ExchangeEnd::invalid_request;
      return o;
    }
    const std::uint64_t message_len = HEADER_LEN + std::uint64_t{len};
    if (message_len > limit) {
      o.error = Error::StreamTooLong;
      return o;
    }
    if (left < message_len) return ended(ExchangeEnd::truncated);
    const std::size_t request_end = pos + message_len;
    if (tag == 4) {
      if (metadata_fails) {
        o.error = Error::OutOfMemory;
        return o;
      }
      o.replies.push_back({request_end, metadataReply()});
    } else {
      const std::uint32_t index = loadU32(&stream[pos + HEADER_LEN]);
      if (index >= std::size(CASES)) {
        o.end = ExchangeEnd::invalid_request;
        return o;
      }
      Bytes body;
      appendU32(body, index);
      appendU32(body, CASE_FLAGS[index]);
      Bytes reply;
      appendMessage(reply, 4, body);
      o.replies.push_back({request_end, reply});
      o.runs.push_back(static_cast<int>(index));
    }
    pos = request_end;
  }
}

// ---------------------------------------------------------------------------------------------
// The queue alone: every message of any tag, bodies compared with the stream

void fuzzQueue(std::span<const std::uint8_t> stream, std::size_t area_size, std::uint8_t seed,
               bool fail_at_end) {
  Area area(area_size);
  Source input(stream, seed, fail_at_end, area);
  vesk::FrameQueue queue(area.span());
  const std::size_t limit = area.limit();

  auto check_shape = [&] {
    check(queue.capacity() == 0 || std::has_single_bit(queue.capacity()),
          "capacity is not a power of two");
    check(queue.capacity() <= limit, "capacity beyond the area");
    check(queue.buffered() <= queue.capacity(), "more buffered than the capacity");
  };
  auto check_end = [&](const Result<Arrival>& got, Arrival expected) {
    if (fail_at_end) {
      check(got == std::unexpected(Error::InputOutput), "the source's error was not passed up");
    } else {
      check(got == expected, "the end of input was reported wrongly");
    }
  };

  std::size_t pos = 0;
  for (;;) {
    const std::size_t left = stream.size() - pos;
    const Result<Arrival> header = queue.awaitHeader(input.source());
    check_shape();
    if (limit < HEADER_LEN) {
      check(header == std::unexpected(Error::StreamTooLong), "no room for a header, yet no error");
      check(input.delivered() == 0, "read with no room for a header");
      return;
    }
    if (left < HEADER_LEN) {
      check_end(header, left == 0 ? Arrival::closed : Arrival::truncated);
      check(queue.buffered() == left, "a partial header was not kept");
      return;
    }
    check(header == Arrival::ready, "a buffered header was not ready");
    check(input.delivered() >= pos + HEADER_LEN, "a header was ready before it was delivered");
    const std::uint32_t tag = loadU32(&stream[pos]);
    const std::uint32_t len = loadU32(&stream[pos + 4]);
    check(queue.header().tag == tag && queue.header().bytes_len == len, "the header changed");

    const std::uint64_t message_len = HEADER_LEN + std::uint64_t{len};
    const std::size_t delivered_before = input.delivered();
    const Result<Arrival> message = queue.awaitMessage(input.source());
    check_shape();
    if (message_len > limit) {
      check(message == std::unexpected(Error::StreamTooLong), "a message too long was accepted");
      check(input.delivered() == delivered_before, "read a body that cannot fit");
      return;
    }
    if (left < message_len) {
      check_end(message, Arrival::truncated);
      return;
    }
    check(message == Arrival::ready, "a delivered message was not ready");
    check(input.delivered() >= pos + message_len, "a body was ready before it was delivered");
    const std::span<const std::byte> body = queue.body();
    check(body.size() == len, "the body has the wrong length");
    check(len == 0 || std::memcmp(body.data(), &stream[pos + HEADER_LEN], len) == 0,
          "the body differs from what was sent");
    queue.discardMessage();
    check_shape();
    pos += message_len;
    check(queue.buffered() == input.delivered() - pos, "discarding lost or kept the wrong bytes");
  }
}

// The driver's way of reading: a growable queue, reads of its own into the room it reserves, and
// messages taken as soon as they are whole. Bodies come out as sent however the stream is split.
void fuzzGrowableQueue(std::span<const std::uint8_t> stream, std::uint8_t seed) {
  vesk::FrameQueue queue = vesk::FrameQueue::growable();
  std::uint32_t state = seed * 0x9E3779B9u + 1;
  std::size_t delivered = 0;
  std::size_t pos = 0;  // start of the current message in the stream
  // Body lengths beyond what the stream holds would only grow the queue: the driver refuses such
  // a header before it reads the body, and so does this model.
  while (delivered < stream.size()) {
    const std::size_t room = queue.hasHeader() ? queue.missing() : HEADER_LEN;
    const Result<std::span<std::byte>> free_space = queue.reserve(room == 0 ? 1 : room, 4096);
    check(free_space.has_value() && free_space->size() >= room, "a growable queue gave no room");
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const std::size_t n =
        std::min({free_space->size(), stream.size() - delivered, std::size_t{1} + state % 300});
    std::memcpy(free_space->data(), &stream[delivered], n);
    queue.commit(n);
    delivered += n;
    check(std::has_single_bit(queue.capacity()), "capacity is not a power of two");
    while (queue.hasMessage()) {
      const std::uint32_t len = loadU32(&stream[pos + 4]);
      check(queue.header().bytes_len == len, "the header changed");
      check(len == 0 || std::memcmp(queue.body().data(), &stream[pos + HEADER_LEN], len) == 0,
            "the body differs from what was sent");
      queue.discardMessage();
      pos += HEADER_LEN + len;
    }
    check(queue.buffered() == delivered - pos, "the queue lost or kept the wrong bytes");
    if (queue.hasHeader() &&
        HEADER_LEN + std::uint64_t{queue.header().bytes_len} > stream.size() - pos) {
      return;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The whole exchange

void fuzzExchange(std::span<const std::uint8_t> stream, std::size_t area_size, std::uint8_t seed,
                  std::uint8_t options, std::uint8_t sink_byte) {
  const bool fail_at_end = (options & 1) != 0;
  const bool metadata_fails = (options & 2) != 0;
  const unsigned sink_mode = (options >> 2) & 3;
  // Mode 0: unlimited writes; 1: writes of at most `sink_byte` bytes; 2 and 3: the stream fails
  // after `sink_byte` (times 8 for 3) bytes went out.
  std::size_t max_per_call = SIZE_MAX;
  std::size_t fail_after = SIZE_MAX;
  if (sink_mode == 1 && sink_byte != 0) max_per_call = sink_byte;
  if (sink_mode == 2) fail_after = sink_byte;
  if (sink_mode == 3) fail_after = std::size_t{sink_byte} * 8;

  Area area(area_size);
  Source input(stream, seed, fail_at_end, area);
  Sink output(input, max_per_call, fail_after);
  vesk::FailingAllocator metadata_allocator(
      vesk::testingAllocator(), {.fail_index = metadata_fails ? static_cast<std::size_t>(seed % 3)
                                                              : vesk::FailurePlan::NEVER});
  runs.clear();

  const Result<ExchangeEnd> got =
      vesk::serveExchange(CASES, area.span(),
                          {.input = input.source(),
                           .output = output.sink(),
                           .metadata_allocator = metadata_allocator.allocator()});
  check(metadata_allocator.liveAllocations() == 0, "the metadata reply's memory was not released");

  const Outcome want = modelExchange(stream, area.limit(), fail_at_end, metadata_fails);
  Bytes transcript;
  for (const Reply& reply : want.replies)
    transcript.insert(transcript.end(), reply.bytes.begin(), reply.bytes.end());

  if (transcript.size() > fail_after) {
    // The output failed first: everything up to that byte went out, and the error came back.
    check(got == std::unexpected(Error::BrokenPipe), "the sink's error was not passed up");
    check(std::equal(output.out().begin(), output.out().end(), transcript.begin()),
          "the replies before the sink failed differ from the model's");
    check(output.out().size() == fail_after, "the replies stopped early");
  } else {
    if (want.end.has_value()) {
      check(got.has_value() && *got == *want.end, "the exchange ended otherwise than the model");
    } else {
      check(got == std::unexpected(want.error), "the exchange failed otherwise than the model");
    }
    check(output.out() == transcript, "the replies differ from the model's");
    check(runs == want.runs, "the cases that ran differ from the requests");
  }
  // No reply before its request was wholly delivered; the version before anything was read.
  std::size_t offset = 0;
  for (const Reply& reply : want.replies) {
    if (offset >= output.out().size()) break;
    const std::size_t delivered = output.deliveredWhenWritten(offset);
    if (reply.request_end == 0) {
      check(delivered == 0, "the version went out after the input was read");
    } else {
      check(delivered >= reply.request_end, "answered a request before it was wholly received");
    }
    offset += reply.bytes.size();
  }
  for (int index : runs)
    check(index >= 0 && static_cast<std::size_t>(index) < std::size(CASES), "ran a case outside");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, 5> options{};
  const std::size_t option_len = std::min(size, options.size());
  if (option_len != 0) std::memcpy(options.data(), data, option_len);
  const std::span<const std::uint8_t> stream =
      size > options.size() ? std::span(data + options.size(), size - options.size())
                            : std::span<const std::uint8_t>();
  const std::size_t area_size = (options[1] | std::size_t{options[2]} << 8) % 4097;

  fuzzQueue(stream, area_size, options[3], (options[0] & 1) != 0);
  fuzzGrowableQueue(stream, options[3]);
  fuzzExchange(stream, area_size, options[3], options[0], options[4]);
  return 0;
}
