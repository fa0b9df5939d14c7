#include "server.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <vesk/checking_allocator.hpp>
#include <vesk/log.hpp>
#include <vesk/panic.hpp>
#include <vesk/sink.hpp>
#include "case_guard.hpp"
#include "run_case.hpp"
#include "stderr_lock.hpp"
#include "symbolize.hpp"

namespace vesk {

namespace {

Result<std::size_t> readFd(void* ctx, std::span<std::byte> dest) noexcept {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(ctx));
  for (;;) {
    const ssize_t n = ::read(fd, dest.data(), dest.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return VESK_FAIL(Error::InputOutput);
  }
}

Result<std::size_t> writevFd(void* ctx, std::span<const iovec> pieces) noexcept {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(ctx));
  for (;;) {
    const ssize_t n = ::writev(fd, pieces.data(), static_cast<int>(pieces.size()));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    // The broken-pipe signal is ignored, so a driver that went away shows up here.
    if (errno == EPIPE) return VESK_FAIL(Error::BrokenPipe);
    return VESK_FAIL(Error::InputOutput);
  }
}

void* fdContext(int fd) noexcept {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the descriptor is the context, never dereferenced
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd));
}

// The metadata reply's three arrays, each empty until allocated.
struct Metadata {
  std::span<std::uint8_t> string_bytes;
  std::span<std::uint32_t> names;
  std::span<std::uint32_t> expected_panic_msgs;

  void release(Allocator allocator) noexcept {
    allocator.release(expected_panic_msgs);
    allocator.release(names);
    allocator.release(string_bytes);
    *this = {};
  }
};

// Fills `meta` through `allocator`; on failure what was obtained so far stays in `meta` for the
// caller to release.
Result<void> buildMetadata(std::span<const TestCase> cases, Allocator allocator,
                           Metadata& meta) noexcept {
  std::size_t string_len = 1;  // offset 0 is the leading 0 byte, standing for "no string"
  for (const TestCase& test : cases)
    string_len = checkedAdd(string_len, test.name.size() + 1);

  meta.string_bytes = VESK_TRY(allocator.allocate<std::uint8_t>(string_len));
  // An empty table needs no arrays; allocating nothing keeps the allocator out of zero-length
  // requests.
  if (!cases.empty()) {
    meta.names = VESK_TRY(allocator.allocate<std::uint32_t>(cases.size()));
    meta.expected_panic_msgs = VESK_TRY(allocator.allocate<std::uint32_t>(cases.size()));
  }

  std::size_t len = 0;
  meta.string_bytes[len++] = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string_view name = cases[i].name;
    meta.names[i] = toLittle(checkedCast<std::uint32_t>(len));
    std::memcpy(meta.string_bytes.data() + len, name.data(), name.size());
    len += name.size();
    meta.string_bytes[len++] = 0;
    meta.expected_panic_msgs[i] = 0;
  }
  return {};
}

Result<void> sendMetadata(ByteSink sink, const Metadata& meta) noexcept {
  std::array<std::byte, METADATA_COUNTS_LEN> counts;
  storeU32(counts.data(), checkedCast<std::uint32_t>(meta.string_bytes.size()));
  storeU32(counts.data() + 4, checkedCast<std::uint32_t>(meta.names.size()));
  const std::array<std::span<const std::byte>, 4> parts = {
      std::span<const std::byte>(counts),
      std::as_bytes(meta.names),
      std::as_bytes(meta.expected_panic_msgs),
      std::as_bytes(meta.string_bytes),
  };
  VESK_TRY(sendMessage(sink, ProgramTag::test_metadata, parts));
  return {};
}

Result<void> answerQueryTestMetadata(std::span<const TestCase> cases, ByteSink sink,
                                     Allocator allocator) noexcept {
  checkingAllocatorInit();
  Metadata meta;
  Result<void> result = buildMetadata(cases, allocator, meta);
  if (result.has_value()) result = sendMetadata(sink, meta);
  meta.release(allocator);
  if (checkingAllocatorDeinit() == Check::leak) panic("internal test runner memory leak");
  VESK_TRY(result);
  return {};
}

// The end of a case's output on the error sink, in one write under the lock: the driver cuts the
// stream there, and sees it before the result that follows.
void markCaseEnd(CaseMarker& marker, std::uint64_t sequence,
                 std::chrono::steady_clock::duration took) noexcept {
  if (!marker.active()) return;
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
  LockedStderr locked;
  locked.out.put(marker.text(sequence, static_cast<std::uint64_t>(nanoseconds)));
}

Result<void> answerRunTest(const TestCase& test, std::uint32_t index, ByteSink sink,
                           CaseMarker& marker, std::uint64_t sequence) noexcept {
  // Build-driver mode counts logged errors per case, for its result record; the log threshold
  // keeps its initial value, put back should an earlier case on this server have changed it.
  log_err_count.store(0);
  log_level.store(LogLevel::warn);
  const auto started = std::chrono::steady_clock::now();
  const CaseRun run = runCase(test, [](const CaseRun& run, const ErrorTrace& trace) {
    if (!run.failed()) return;
    Writer out;
    printErrorTrace(out, trace);
  });
  // What the case printed on standard output (now the error sink) goes out before its marker and
  // result, so that the driver counts it as this case's output.
  (void)std::fflush(stdout);
  markCaseEnd(marker, sequence, std::chrono::steady_clock::now() - started);
  const bool fail = run.failed();
  const bool skip = run.skipped();
  const bool leak = run.leaked;

  const std::uint64_t errors = std::min(log_err_count.load(), MAX_REPORTED_LOG_ERRORS);
  const std::uint32_t flags = (fail ? RESULT_FAIL : 0) | (skip ? RESULT_SKIP : 0) |
                              (leak ? RESULT_LEAK : 0) |
                              static_cast<std::uint32_t>(errors) << RESULT_LOG_ERRORS_SHIFT;
  std::array<std::byte, TEST_RESULTS_LEN> body;
  storeU32(body.data(), index);
  storeU32(body.data() + 4, flags);
  const std::span<const std::byte> part(body);
  VESK_TRY(sendMessage(sink, ProgramTag::test_results, std::span(&part, 1)));
  return {};
}

bool isSupported(std::uint32_t tag) noexcept {
  switch (static_cast<DriverTag>(tag)) {
    case DriverTag::exit:
    case DriverTag::query_test_metadata:
    case DriverTag::run_test:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Exchange

int exitStatus(ExchangeEnd end) noexcept {
  switch (end) {
    case ExchangeEnd::exit_request:
    case ExchangeEnd::input_closed:
      return 0;
    case ExchangeEnd::unsupported:
    case ExchangeEnd::invalid_request:
    case ExchangeEnd::truncated:
      return 1;
  }
  return 1;
}

Result<ExchangeEnd> serveExchange(std::span<const TestCase> cases,
                                  std::span<std::byte> receive_area,
                                  ExchangeStreams streams) noexcept {
  FrameQueue queue(receive_area);
  std::uint64_t cases_run = 0;  // numbers the case-end markers
  const std::span<const std::byte> version = std::as_bytes(std::span(TOOLCHAIN_VERSION));
  VESK_TRY(sendMessage(streams.output, ProgramTag::toolchain_version, std::span(&version, 1)));

  for (;;) {
    const Arrival header_arrival = VESK_TRY(queue.awaitHeader(streams.input));
    if (header_arrival == Arrival::closed) return ExchangeEnd::input_closed;
    if (header_arrival == Arrival::truncated) {
      LockedStderr()
          .out.put("input ended in the middle of a message header: ")
          .dec(queue.buffered())
          .put(" of 8 bytes received\n");
      return ExchangeEnd::truncated;
    }

    // Decided on the header alone: the body of a request we will not serve is never waited for,
    // so neither a missing nor a huge body can hold the answer up.
    const MessageHeader header = queue.header();
    if (!isSupported(header.tag)) {
      LockedStderr().out.put("unsupported message: ").hex(header.tag);
      return ExchangeEnd::unsupported;
    }
    if (header.tag == static_cast<std::uint32_t>(DriverTag::run_test) &&
        header.bytes_len != RUN_TEST_LEN) {
      LockedStderr()
          .out.put("invalid run_test request: body of ")
          .dec(header.bytes_len)
          .put(" bytes, expected 4\n");
      return ExchangeEnd::invalid_request;
    }

    // Nothing of an exit's body is needed, so none is waited for.
    if (header.tag == static_cast<std::uint32_t>(DriverTag::exit)) return ExchangeEnd::exit_request;

    if (VESK_TRY(queue.awaitMessage(streams.input)) != Arrival::ready) {
      LockedStderr()
          .out.put("input ended in the middle of a message with tag ")
          .dec(header.tag)
          .put(": ")
          .dec(queue.buffered() - HEADER_LEN)
          .put(" of ")
          .dec(header.bytes_len)
          .put(" body bytes received\n");
      return ExchangeEnd::truncated;
    }

    switch (static_cast<DriverTag>(header.tag)) {
      case DriverTag::query_test_metadata:
        VESK_TRY(answerQueryTestMetadata(cases, streams.output, streams.metadata_allocator));
        break;
      case DriverTag::run_test: {
        const std::uint32_t index = loadU32(queue.body().data());
        if (index >= cases.size()) {
          LockedStderr()
              .out.put("invalid run_test request: index ")
              .dec(index)
              .put(" of ")
              .dec(cases.size())
              .put(" cases\n");
          return ExchangeEnd::invalid_request;
        }
        VESK_TRY(
            answerRunTest(cases[index], index, streams.output, streams.case_marker, ++cases_run));
        break;
      }
      default:
        unreachable();
    }
    // The whole declared body goes, not only what the handler read: leftover body bytes must
    // never be taken for the next header.
    queue.discardMessage();
  }
}

namespace {

// The descriptors the exchange runs on.
struct ProtocolFds {
  int in = STDIN_FILENO;
  int out = STDOUT_FILENO;
};

// Standard input and output belong to the exchange: they move to kept descriptors of their own,
// closed in any program a case starts and out of reach of a case that closes or reopens low
// numbers. Standard output then leads to the error sink, line-buffered so that what a case prints
// there reaches its output before a fault, and standard input to /dev/null, so that a case that
// reads it finds its end instead of a request. If the descriptors cannot move, the exchange stays
// on the standard ones.
ProtocolFds takeProtocolFds() noexcept {
  const int in = keepDescriptor(STDIN_FILENO);
  const int out = keepDescriptor(STDOUT_FILENO);
  if (in < 0 || out < 0) return {};  // a kept one stays open, and checked, unused
  // From here the exchange runs on the new descriptors whether or not the standard ones move.
  const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_in >= 0) {
    (void)::dup2(null_in, STDIN_FILENO);
    ::close(null_in);
  }
  (void)::dup2(errorSink(), STDOUT_FILENO);
  (void)std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  return {in, out};
}

// The driver's token, taken out of the environment: a program a case starts must not write the
// markers of this server (a nested server would, into this server's standard error).
CaseMarker takeCaseMarker() noexcept {
  const char* token = std::getenv(CASE_MARKER_VARIABLE);
  if (token == nullptr) return {};
  CaseMarker marker(token);
  (void)::unsetenv(CASE_MARKER_VARIABLE);
  return marker;
}

}  // namespace

Result<int> mainServer(std::span<const TestCase> cases,
                       std::span<std::byte> receive_area) noexcept {
  const ProtocolFds fds = takeProtocolFds();
  const ExchangeStreams streams{
      .input = ByteSource{fdContext(fds.in), readFd},
      .output = ByteSink{fdContext(fds.out), writevFd},
      .metadata_allocator = testingAllocator(),
      .case_marker = takeCaseMarker(),
  };
  const ExchangeEnd end = VESK_TRY(serveExchange(cases, receive_area, streams));
  return exitStatus(end);
}

}  // namespace vesk
