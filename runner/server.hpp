// Build-driver mode: serves a build driver over standard input and output in framed
// little-endian messages, reporting the case list and running single cases on request.
#pragma once

#include <span>

#include "vesk_base.hpp"

namespace vesk {

struct TestCase;

/// Runs the exchange until the driver's `exit` request (which ends the process). Returns only
/// with an error of the protocol streams. `receive_area` is the free part of the command-line
/// buffer, which holds the receive queue.
Result<void> mainServer(std::span<const TestCase> cases,
                        std::span<std::byte> receive_area) noexcept;

}  // namespace vesk
