// The build-driver wire format, shared by the server side (build-driver mode of the harness) and
// the client side (vesk-run): message tags of both directions, the header, the version text, the
// bits of a result record, the layout of the metadata reply, and little-endian load and store.
// Definitions only; neither side's streams nor buffers live here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesk {

/// Message kinds a driver sends.
// NOLINTNEXTLINE(performance-enum-size): a tag is a u32 in the message header
enum class DriverTag : std::uint32_t {
  exit = 0,
  update = 1,
  run = 2,
  hot_update = 3,
  query_test_metadata = 4,
  run_test = 5,
};

/// Message kinds a harness executable sends.
// NOLINTNEXTLINE(performance-enum-size): a tag is a u32 in the message header
enum class ProgramTag : std::uint32_t {
  toolchain_version = 0,
  error_bundle = 1,
  emit_bin_path = 2,
  test_metadata = 3,
  test_results = 4,
};

/// The 8-byte header in front of every message: its kind and the number of body bytes after it.
struct MessageHeader {
  std::uint32_t tag = 0;
  std::uint32_t bytes_len = 0;
};

/// Size of a message header on the wire.
inline constexpr std::size_t HEADER_LEN = 8;
/// Version text sent first, in the `toolchain_version` message.
inline constexpr std::string_view TOOLCHAIN_VERSION = "0.13.0";
/// A harness executable sends its version at once and its case table right after; a driver gives
/// up on a program that has sent neither within this many seconds.
inline constexpr int HANDSHAKE_LIMIT_SECONDS = 5;

/// Body length of a `run_test` request: the case index.
inline constexpr std::size_t RUN_TEST_LEN = 4;
/// Body length of a `test_results` reply: the case index, then the flags.
inline constexpr std::size_t TEST_RESULTS_LEN = 8;

/// Bits of the flags of a `test_results` reply.
inline constexpr std::uint32_t RESULT_FAIL = 1;  ///< the case returned an error other than the skip
inline constexpr std::uint32_t RESULT_SKIP = 2;  ///< the case returned the skip error
inline constexpr std::uint32_t RESULT_LEAK = 4;  ///< the checking allocator reported a leak
/// The count of error-level log messages occupies the flags from this bit up.
inline constexpr unsigned RESULT_LOG_ERRORS_SHIFT = 3;
/// Largest `log_err_count` a result record can carry (29 bits).
inline constexpr std::uint64_t MAX_REPORTED_LOG_ERRORS = (std::uint64_t{1} << 29) - 1;

/// A `test_metadata` body starts with `string_bytes_len` and `tests_len`; then come `tests_len`
/// name offsets, `tests_len` expected-stop offsets (0 for none) and the string area, whose first
/// byte is 0 so that offset 0 names no string; every name ends with a 0 byte.
inline constexpr std::size_t METADATA_COUNTS_LEN = 8;

/// `value` as it lies on the wire; arrays sent as they lie in memory are stored through this.
constexpr std::uint32_t toLittle(std::uint32_t value) noexcept {
  if constexpr (std::endian::native == std::endian::big) return std::byteswap(value);
  return value;
}

/// Stores `value` little-endian at `dst` (4 bytes).
inline void storeU32(std::byte* dst, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i)
    dst[i] = static_cast<std::byte>(value >> (8 * i));
}

/// Loads a little-endian value from `src` (4 bytes).
inline std::uint32_t loadU32(const std::byte* src) noexcept {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value |= std::to_integer<std::uint32_t>(src[i]) << (8 * i);
  return value;
}

}  // namespace vesk
