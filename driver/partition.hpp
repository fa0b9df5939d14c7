// Splitting a selection of cases into N disjoint partitions whose union is the selection, for a
// suite spread over CI machines or Bazel's shards: round robin over the selection in table order
// (`count:M/N`), or by a stable hash of each case's name (`hash:M/N`), which keeps every other
// case in its partition when one is added. Nothing here runs cases or reads the environment.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::driver {

/// One partition of N: number M counts from 1.
struct Partition {
  enum class Kind : std::uint8_t { count, hash };
  Kind kind = Kind::count;
  std::uint32_t number = 1;  ///< M, from 1 to `total`
  std::uint32_t total = 1;   ///< N
};

/// Reads "count:M/N" or "hash:M/N"; a malformed value comes back as the message to print.
std::expected<Partition, std::string> parsePartition(std::string_view text);

/// The partition as the command line spells it ("count:2/3").
std::string partitionText(const Partition& partition);

/// The stable hash of a case name that `hash:` partitions by: 64-bit FNV-1a of its bytes, mixed
/// by the splitmix64 finaliser so that every bit of the name reaches the low bits.
std::uint64_t caseNameHash(std::string_view name) noexcept;

/// The positions of `selected` (table positions, in table order) that fall into `partition`;
/// `names` is the case table.
std::vector<std::uint32_t> partitionCases(const Partition& partition,
                                          std::span<const std::uint32_t> selected,
                                          std::span<const std::string> names);

}  // namespace vesk::driver
