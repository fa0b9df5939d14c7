// Tests of build-driver mode run in this process: the receive queue (the protocol's frame queue
// over the command-line area) fed from memory in every way a pipe may deliver bytes, gathered
// sending with partial writes, and whole exchanges against a small case table with in-memory
// streams.
#include "server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <vesk/vesk_harness.hpp>
#include "failing_allocator.hpp"
#include "sink_capture.hpp"

namespace vesk {
namespace {

using Bytes = std::vector<std::uint8_t>;

void appendU32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes message(std::uint32_t tag, const Bytes& body) {
  Bytes out;
  appendU32(out, tag);
  appendU32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes header(std::uint32_t tag, std::uint32_t bytes_len) {
  Bytes out;
  appendU32(out, tag);
  appendU32(out, bytes_len);
  return out;
}

Bytes runTest(std::uint32_t index) {
  Bytes body;
  appendU32(body, index);
  return message(5, body);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes toBytes(std::span<const std::byte> bytes) {
  Bytes out(bytes.size());
  if (!bytes.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());  // no null pointers
  return out;
}

// Delivers `data` in chunks: the next size from `chunks` (cycling), never more than the room it is
// given. Records every buffer it was handed, so tests can check where the queue let it write.
class ScriptedSource {
 public:
  ScriptedSource(Bytes data, std::vector<std::size_t> chunks = {SIZE_MAX})
      : data_(std::move(data)), chunks_(std::move(chunks)) {}

  ByteSource source() { return ByteSource{this, read}; }
  std::size_t reads() const { return dests_.size(); }
  std::size_t delivered() const { return pos_; }
  const std::vector<std::span<std::byte>>& dests() const { return dests_; }
  void failAtEnd(Error error) { end_error_ = error; }

 private:
  static Result<std::size_t> read(void* ctx, std::span<std::byte> dest) {
    auto& self = *static_cast<ScriptedSource*>(ctx);
    self.dests_.push_back(dest);
    if (self.pos_ == self.data_.size() && self.end_error_) return VESK_FAIL(*self.end_error_);
    const std::size_t chunk = self.chunks_[(self.dests_.size() - 1) % self.chunks_.size()];
    const std::size_t n = std::min({chunk, dest.size(), self.data_.size() - self.pos_});
    // An empty script has no data pointer, and memcpy takes no null pointer even for 0 bytes.
    if (n != 0) std::memcpy(dest.data(), self.data_.data() + self.pos_, n);
    self.pos_ += n;
    return n;
  }

  Bytes data_;
  std::vector<std::size_t> chunks_;
  std::size_t pos_ = 0;
  std::vector<std::span<std::byte>> dests_;
  std::optional<Error> end_error_;
};

// Collects what is sent, taking at most `max_per_call` bytes per gathered write and failing with
// `error` once `fail_after` bytes have gone out.
class MemorySink {
 public:
  ByteSink sink() { return ByteSink{this, writev}; }

  Bytes out;
  std::vector<std::size_t> pieces_per_call;
  std::size_t max_per_call = SIZE_MAX;
  std::size_t fail_after = SIZE_MAX;
  Error error = Error::BrokenPipe;
  bool take_nothing = false;

 private:
  static Result<std::size_t> writev(void* ctx, std::span<const iovec> pieces) {
    auto& self = *static_cast<MemorySink*>(ctx);
    self.pieces_per_call.push_back(pieces.size());
    if (self.out.size() >= self.fail_after) return VESK_FAIL(self.error);
    if (self.take_nothing) {
      // Bounded, so that a sender that keeps retrying fails the test instead of hanging it.
      if (self.pieces_per_call.size() > 100) return VESK_FAIL(Error::Unexpected);
      return std::size_t{0};
    }
    std::size_t budget = std::min(self.max_per_call, self.fail_after - self.out.size());
    std::size_t taken = 0;
    for (const iovec& piece : pieces) {
      const std::size_t n = std::min(budget, piece.iov_len);
      const auto* p = static_cast<const std::uint8_t*>(piece.iov_base);
      self.out.insert(self.out.end(), p, p + n);
      budget -= n;
      taken += n;
      if (budget == 0) break;
    }
    return taken;
  }
};

// The in-memory tests keep their own error-return trace installed, as the runner does.
class WithTrace : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = setActiveErrorTrace(&trace_); }
  void TearDown() override { setActiveErrorTrace(previous_); }

  ErrorTrace trace_;
  ErrorTrace* previous_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Receive queue

using ReceiveQueueTest = WithTrace;

TEST_F(ReceiveQueueTest, AWholeMessageInOneReadIsReadyWithItsBody) {
  std::array<std::byte, 4096> area;
  FrameQueue queue(area);
  ScriptedSource input(runTest(7));

  ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
  EXPECT_EQ(queue.header().tag, 5u);
  EXPECT_EQ(queue.header().bytes_len, 4u);
  ASSERT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
  EXPECT_EQ(toBytes(queue.body()), (Bytes{7, 0, 0, 0}));
  // One read of up to 256 bytes at the start of the area brought everything.
  ASSERT_EQ(input.reads(), 1u);
  EXPECT_EQ(input.dests()[0].data(), area.data());
  EXPECT_EQ(input.dests()[0].size(), 256u);
  EXPECT_EQ(queue.capacity(), 256u);

  queue.discardMessage();
  EXPECT_EQ(queue.buffered(), 0u);
  EXPECT_EQ(queue.awaitHeader(input.source()), Arrival::closed);
}

TEST_F(ReceiveQueueTest, AMessageDeliveredByteByByteArrivesWhole) {
  std::array<std::byte, 4096> area;
  FrameQueue queue(area);
  ScriptedSource input(runTest(0x01020304), {1});

  ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
  EXPECT_EQ(input.reads(), 8u);
  ASSERT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
  EXPECT_EQ(input.reads(), 12u);
  EXPECT_EQ(toBytes(queue.body()), (Bytes{4, 3, 2, 1}));
  // A partial header never makes the queue grow: the room it has holds the rest.
  EXPECT_EQ(queue.capacity(), 256u);
  for (std::span<std::byte> dest : input.dests()) {
    EXPECT_GE(dest.data(), area.data());
    EXPECT_LE(dest.data() + dest.size(), area.data() + queue.capacity());
  }
}

TEST_F(ReceiveQueueTest, MovesBufferedBytesToTheFrontBeforeGrowing) {
  Bytes first_body(200, 0x11);
  Bytes second_body(100, 0x22);
  std::array<std::byte, 4096> area;
  FrameQueue queue(area);
  ScriptedSource input(concat({message(4, first_body), message(4, second_body)}));

  ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
  ASSERT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
  queue.discardMessage();
  // 48 bytes of the second message were read with the first; its remaining 60 fit once those
  // 48 are moved to the front, so the capacity stays.
  EXPECT_EQ(queue.buffered(), 48u);
  ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
  ASSERT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
  EXPECT_EQ(queue.capacity(), 256u);
  EXPECT_EQ(toBytes(queue.body()), second_body);
  EXPECT_EQ(input.dests().back().data(), area.data() + 48);
}

TEST_F(ReceiveQueueTest, AMessageThatCannotFitFailsBeforeReadingItsBody) {
  for (const std::uint32_t bytes_len : {1017u, 5000u, 0xFFFFFFFFu}) {
    std::array<std::byte, 1030> area;  // the largest power of two inside is 1024
    FrameQueue queue(area);
    ScriptedSource input(header(4, bytes_len));
    ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
    EXPECT_EQ(queue.awaitMessage(input.source()), std::unexpected(Error::StreamTooLong));
    EXPECT_EQ(input.reads(), 1u) << bytes_len;
    EXPECT_LE(queue.capacity(), 1024u);
  }
  // One byte less fits exactly.
  std::array<std::byte, 1030> area;
  FrameQueue queue(area);
  ScriptedSource input(message(4, Bytes(1016, 9)));
  ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
  EXPECT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
  EXPECT_EQ(queue.capacity(), 1024u);
}

TEST_F(ReceiveQueueTest, SmallAreasStillCarryTheRequestsThatFit) {
  std::array<std::byte, 20> area;  // 16 usable bytes: a run_test fits, two of them do not
  FrameQueue queue(area);
  ScriptedSource input(concat({runTest(1), runTest(2), header(0, 0)}), {5, 3});
  for (std::uint32_t index : {1u, 2u}) {
    ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
    ASSERT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
    EXPECT_EQ(toBytes(queue.body()), (Bytes{static_cast<std::uint8_t>(index), 0, 0, 0}));
    queue.discardMessage();
  }
  ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
  EXPECT_EQ(queue.header().tag, 0u);
  EXPECT_EQ(queue.capacity(), 16u);

  std::array<std::byte, 7> tiny;
  FrameQueue none(tiny);
  ScriptedSource unread(header(0, 0));
  EXPECT_EQ(none.awaitHeader(unread.source()), std::unexpected(Error::StreamTooLong));
  EXPECT_EQ(unread.reads(), 0u);
}

TEST_F(ReceiveQueueTest, TheEndOfInputIsReportedByWhereItFalls) {
  std::array<std::byte, 4096> area;
  {
    FrameQueue queue(area);
    ScriptedSource input({});
    EXPECT_EQ(queue.awaitHeader(input.source()), Arrival::closed);
  }
  {
    FrameQueue queue(area);
    ScriptedSource input({5, 0, 0});
    EXPECT_EQ(queue.awaitHeader(input.source()), Arrival::truncated);
    EXPECT_EQ(queue.buffered(), 3u);
  }
  {
    FrameQueue queue(area);
    ScriptedSource input(concat({header(5, 4), Bytes{1, 2}}));
    ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
    EXPECT_EQ(queue.awaitMessage(input.source()), Arrival::truncated);
    EXPECT_EQ(queue.buffered(), 10u);
  }
  {
    FrameQueue queue(area);
    ScriptedSource input(runTest(0));
    ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
    ASSERT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
    queue.discardMessage();
    EXPECT_EQ(queue.awaitHeader(input.source()), Arrival::closed);
  }
}

TEST_F(ReceiveQueueTest, ReadErrorsArePassedUpAndTraced) {
  std::array<std::byte, 4096> area;
  FrameQueue queue(area);
  ScriptedSource input(header(5, 4));
  input.failAtEnd(Error::InputOutput);
  ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
  EXPECT_EQ(queue.awaitMessage(input.source()), std::unexpected(Error::InputOutput));
  // The source's own failure plus at least one pass through the queue.
  EXPECT_GE(trace_.index, 2u);
}

// Random streams of messages, random area sizes and random delivery: the messages come out
// unchanged and in order, no read lands outside the claimed storage, no message is handed over
// before all its bytes were delivered, and the capacity is exactly what the largest message needed.
TEST_F(ReceiveQueueTest, RandomDeliveryNeverChangesTheMessagesOrTheirStorage) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 300; ++round) {
    const std::size_t area_size = std::uniform_int_distribution<std::size_t>(12, 4096)(rng);
    const std::size_t limit = std::bit_floor(area_size);
    std::vector<Bytes> bodies;
    std::vector<std::uint32_t> tags;
    Bytes stream;
    std::vector<std::size_t> ends;  // stream offset just past each message
    std::size_t largest = 0;
    const int count = std::uniform_int_distribution<int>(1, 12)(rng);
    for (int i = 0; i < count; ++i) {
      const std::size_t max_body = std::min<std::size_t>(limit - HEADER_LEN, 600);
      Bytes body(std::uniform_int_distribution<std::size_t>(0, max_body)(rng));
      for (auto& b : body)
        b = static_cast<std::uint8_t>(rng());
      const auto tag = static_cast<std::uint32_t>(rng());
      const Bytes m = message(tag, body);
      stream.insert(stream.end(), m.begin(), m.end());
      ends.push_back(stream.size());
      largest = std::max(largest, m.size());
      bodies.push_back(std::move(body));
      tags.push_back(tag);
    }
    std::vector<std::size_t> chunks;
    chunks.reserve(7);
    for (int i = 0; i < 7; ++i) {
      chunks.push_back(std::uniform_int_distribution<std::size_t>(1, 300)(rng));
    }

    std::vector<std::byte> area(area_size);
    FrameQueue queue(area);
    ScriptedSource input(stream, chunks);
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::ready);
      ASSERT_EQ(queue.awaitMessage(input.source()), Arrival::ready);
      EXPECT_GE(input.delivered(), ends[i]);
      EXPECT_EQ(queue.header().tag, tags[i]);
      ASSERT_EQ(toBytes(queue.body()), bodies[i]) << "round " << round << " message " << i;
      queue.discardMessage();
    }
    ASSERT_EQ(queue.awaitHeader(input.source()), Arrival::closed);

    const std::size_t expected_capacity =
        std::max(std::min<std::size_t>(256, limit), std::bit_ceil(largest));
    EXPECT_EQ(queue.capacity(), expected_capacity) << "round " << round;
    for (std::span<std::byte> dest : input.dests()) {
      ASSERT_FALSE(dest.empty());
      ASSERT_GE(dest.data(), area.data());
      ASSERT_LE(dest.data() + dest.size(), area.data() + queue.capacity());
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Sending

using SendMessageTest = WithTrace;

std::span<const std::byte> bytesOf(std::string_view s) {
  return std::as_bytes(std::span(s));
}

TEST_F(SendMessageTest, WritesTheHeaderAndTheNonEmptyPartsInOneGatheredWrite) {
  MemorySink out;
  const std::span<const std::byte> parts[] = {bytesOf("ab"), bytesOf(""), bytesOf("cde")};
  ASSERT_TRUE(sendMessage(out.sink(), ProgramTag::test_metadata, parts).has_value());
  EXPECT_EQ(out.out, concat({header(3, 5), Bytes{'a', 'b', 'c', 'd', 'e'}}));
  EXPECT_EQ(out.pieces_per_call, (std::vector<std::size_t>{3}));
}

TEST_F(SendMessageTest, PartialWritesAreResumedWhereTheyStopped) {
  std::vector<std::string> texts;
  std::vector<std::span<const std::byte>> parts;
  Bytes expected_body;
  texts.reserve(9);
  for (int i = 0; i < 9; ++i)
    texts.push_back(std::string(static_cast<std::size_t>(i + 1), static_cast<char>('a' + i)));
  for (const std::string& t : texts) {
    parts.push_back(bytesOf(t));
    expected_body.insert(expected_body.end(), t.begin(), t.end());
  }
  const Bytes expected = concat({header(4, 45), expected_body});

  for (std::size_t max = 1; max <= expected.size(); ++max) {
    MemorySink out;
    out.max_per_call = max;
    ASSERT_TRUE(sendMessage(out.sink(), ProgramTag::test_results, parts).has_value());
    EXPECT_EQ(out.out, expected) << max;
    EXPECT_EQ(out.pieces_per_call.size(), (expected.size() + max - 1) / max);
    EXPECT_EQ(out.pieces_per_call.front(), 10u);
    EXPECT_TRUE(std::ranges::all_of(out.pieces_per_call, [](std::size_t n) { return n <= 10; }));
  }
}

TEST_F(SendMessageTest, ASinkThatFailsOrTakesNothingEndsTheSend) {
  MemorySink broken;
  broken.fail_after = 3;
  const std::span<const std::byte> part = bytesOf("0.13.0");
  EXPECT_EQ(sendMessage(broken.sink(), ProgramTag::toolchain_version, std::span(&part, 1)),
            std::unexpected(Error::BrokenPipe));
  EXPECT_EQ(broken.out.size(), 3u);

  MemorySink stuck;
  stuck.take_nothing = true;
  EXPECT_EQ(sendMessage(stuck.sink(), ProgramTag::toolchain_version, std::span(&part, 1)),
            std::unexpected(Error::InputOutput));
  EXPECT_EQ(stuck.pieces_per_call.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Whole exchanges

int runs_of_counted = 0;

Result<void> passes() {
  return {};
}
Result<void> fails() {
  VESK_TRY(expect(false));
  return {};
}
Result<void> skips() {
  return VESK_FAIL(Error::SkipCase);
}
Result<void> counted() {
  ++runs_of_counted;
  return {};
}
// More error messages than a result record can carry.
Result<void> logsTooManyErrors() {
  log_err_count.store(UINT64_MAX - 1);
  return {};
}
Result<void> logsOneErrorAndSkips() {
  log(LogLevel::err, "server_test", "logged on purpose");
  return VESK_FAIL(Error::SkipCase);
}

constexpr TestCase EXCHANGE_CASES[] = {
    {"t.passes", passes},
    {"t.fails", fails},
    {"t.skips", skips},
    {"t.counted", counted},
    {"t.logs too many errors", logsTooManyErrors},
    {"t.logs one error and skips", logsOneErrorAndSkips},
};

const Bytes VERSION_MESSAGE = concat({header(0, 6), Bytes{'0', '.', '1', '3', '.', '0'}});

Bytes result(std::uint32_t index, std::uint32_t flags) {
  Bytes body;
  appendU32(body, index);
  appendU32(body, flags);
  return message(4, body);
}

class ExchangeTest : public WithTrace {
 protected:
  // Runs an exchange over `input_bytes` (delivered in 5-byte reads, so requests straddle reads).
  Result<ExchangeEnd> serve(Bytes input_bytes) {
    ScriptedSource input(std::move(input_bytes), {5});
    std::array<std::byte, 2048> area;
    return serveExchange(EXCHANGE_CASES, area,
                         ExchangeStreams{input.source(), output_.sink(), allocator_});
  }

  // Only the part after the toolchain version, which every exchange begins with.
  Bytes replies() const {
    EXPECT_GE(output_.out.size(), VERSION_MESSAGE.size());
    EXPECT_TRUE(std::equal(VERSION_MESSAGE.begin(), VERSION_MESSAGE.end(), output_.out.begin()));
    return Bytes(output_.out.begin() + static_cast<std::ptrdiff_t>(VERSION_MESSAGE.size()),
                 output_.out.end());
  }

  MemorySink output_;
  Allocator allocator_ = mallocAllocator();
};

TEST_F(ExchangeTest, ResultRecordsCarryEachOutcomeInRequestOrder) {
  testing::SinkCapture sink;  // the failing case's trace
  const Result<ExchangeEnd> end =
      serve(concat({runTest(0), runTest(1), runTest(2), runTest(4), runTest(5), header(0, 0)}));
  ASSERT_EQ(end, ExchangeEnd::exit_request);
  EXPECT_EQ(exitStatus(*end), 0);
  EXPECT_EQ(replies(), concat({result(0, 0), result(1, 1), result(2, 2), result(4, 0xFFFFFFF8u),
                               result(5, 2 + 8)}));
}

TEST_F(ExchangeTest, EveryCaseStartsAndEndsWithAnEmptyTrace) {
  testing::SinkCapture sink;
  ASSERT_EQ(serve(concat({runTest(1)})), ExchangeEnd::input_closed);
  const std::string printed = sink.take();
  EXPECT_FALSE(printed.empty());
  EXPECT_EQ(trace_.index, 0u);

  // Entries left by whatever ran before must not open a case's trace, whatever its result.
  for (const std::uint32_t index : {0u, 2u}) {
    trace_.index = 3;
    ASSERT_EQ(serve(runTest(index)), ExchangeEnd::input_closed);
    EXPECT_EQ(trace_.index, 0u);
  }
}

TEST_F(ExchangeTest, MetadataListsTheCasesAndIsBuiltFromThreeReleasedBlocks) {
  FailingAllocator counting(mallocAllocator());
  allocator_ = counting.allocator();
  ASSERT_EQ(serve(header(4, 0)), ExchangeEnd::input_closed);

  std::string strings(1, '\0');
  for (const TestCase& c : EXCHANGE_CASES)
    strings.append(c.name).push_back('\0');
  const std::uint32_t n = std::size(EXCHANGE_CASES);
  Bytes body;
  appendU32(body, static_cast<std::uint32_t>(strings.size()));
  appendU32(body, n);
  std::uint32_t offset = 1;
  for (const TestCase& c : EXCHANGE_CASES) {
    appendU32(body, offset);
    offset += static_cast<std::uint32_t>(c.name.size()) + 1;
  }
  for (std::uint32_t i = 0; i < n; ++i)
    appendU32(body, 0);
  body.insert(body.end(), strings.begin(), strings.end());
  EXPECT_EQ(replies(), message(3, body));
  EXPECT_EQ(counting.allocCalls(), 3u);
  EXPECT_EQ(counting.liveAllocations(), 0u);
}

TEST_F(ExchangeTest, AFailedMetadataAllocationReleasesWhatWasBuilt) {
  for (std::size_t fail_index = 0; fail_index < 3; ++fail_index) {
    FailingAllocator failing(mallocAllocator(), {.fail_index = fail_index});
    allocator_ = failing.allocator();
    output_ = MemorySink{};
    EXPECT_EQ(serve(concat({header(4, 0), header(0, 0)})), std::unexpected(Error::OutOfMemory));
    EXPECT_EQ(failing.liveAllocations(), 0u) << fail_index;
    EXPECT_TRUE(replies().empty());
  }
}

TEST_F(ExchangeTest, AFailedMetadataWriteReleasesWhatWasBuilt) {
  FailingAllocator counting(mallocAllocator());
  allocator_ = counting.allocator();
  output_.fail_after = VERSION_MESSAGE.size() + 20;
  EXPECT_EQ(serve(header(4, 0)), std::unexpected(Error::BrokenPipe));
  EXPECT_EQ(counting.allocCalls(), 3u);
  EXPECT_EQ(counting.liveAllocations(), 0u);
}

TEST_F(ExchangeTest, ExitEndsTheExchangeBeforeLaterRequests) {
  runs_of_counted = 0;
  EXPECT_EQ(serve(concat({runTest(3), header(0, 0), runTest(3)})), ExchangeEnd::exit_request);
  EXPECT_EQ(runs_of_counted, 1);
  EXPECT_EQ(replies(), result(3, 0));  // Its body is never waited for: neither a missing nor an
                                       // oversized one holds the exit up.
  EXPECT_EQ(serve(header(0, 1u << 30)), ExchangeEnd::exit_request);
}

}  // namespace
}  // namespace vesk
