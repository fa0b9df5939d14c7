// vesk-run's reading of what servers send: the protocol version and the case table checked and
// decoded, the case names checked for what a build system cannot carry, and a server's end and
// its stray bytes put in the driver's words. Nothing here reads a descriptor.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server_process.hpp"
#include "wire.hpp"

namespace vesk::driver {

/// The largest case table accepted.
inline constexpr std::size_t MAX_METADATA_LEN = std::size_t{256} << 20;

/// What the version message at the front of a queue gave: wait for more bytes, or taken.
enum class Step : std::uint8_t { wait, done };

/// Checks and takes the version message at the front of `replies` (a header is buffered). The
/// error says why `executable` is not a harness executable of this protocol version.
std::expected<Step, std::string> takeVersion(FrameQueue& replies, std::string_view executable);

/// The case names of a `test_metadata` body, or what is wrong with it.
std::expected<std::vector<std::string>, std::string> parseMetadata(std::span<const std::byte> body);

/// Refuses a table with two cases of one name, or a name holding a line end or another control
/// character: a build system registering the cases one by one could not tell them apart. The
/// message names the case indices.
std::expected<void, std::string> checkNames(std::span<const std::string> names);

/// `text` in single quotes.
std::string quoted(std::string_view text);
/// `value` as "0x1f".
std::string hex(std::uint32_t value);
/// "ended by SIGKILL" or "exited with status 3".
std::string describeEnd(const ServerEnd& end);
/// The first line of `text`, without its line end.
std::string_view firstLine(std::string_view text);
/// `bytes` as quoted text, anything but printable ASCII as \xNN.
std::string preview(std::span<const std::byte> bytes);

}  // namespace vesk::driver
