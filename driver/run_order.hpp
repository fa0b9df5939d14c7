// The order a run's cases go in: the selection repeated (--repeat), then shuffled (--shuffle,
// --seed) by a generator and a shuffle written out here, so that one seed gives one order on every
// machine and with every standard library. Nothing here runs cases or prints.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vesk::driver {

/// The selection `times` times over, whole passes one after the other.
std::vector<std::uint32_t> repeatCases(std::span<const std::uint32_t> selected, unsigned times);

/// Puts `order` in the random order `seed` names: Fisher-Yates from the back, each position
/// drawn without bias from splitmix64 numbers seeded with `seed`.
void shuffleCases(std::vector<std::uint32_t>& order, std::uint64_t seed) noexcept;

/// A seed that differs from run to run, for --shuffle without --seed.
std::uint64_t freshSeed() noexcept;

}  // namespace vesk::driver
