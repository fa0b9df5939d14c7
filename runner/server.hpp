// Build-driver mode: serves a build driver over standard input and output in framed
// little-endian messages, reporting the case list and running single cases on request. The
// exchange takes its streams as small function records (wire.hpp), so that tests and fuzzers can
// drive it from memory; `mainServer` plugs in the process's own descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <vesk/allocator.hpp>
#include <vesk/error.hpp>
#include <vesk/test_case.hpp>
#include "case_marker.hpp"
#include "protocol.hpp"
#include "wire.hpp"

namespace vesk {

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
  /// Written on the error sink after each case's output, before its result; inactive for none.
  CaseMarker case_marker = {};
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
