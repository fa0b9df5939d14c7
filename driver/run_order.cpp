#include "run_order.hpp"

#include <unistd.h>

#include <chrono>
#include <utility>

namespace vesk::driver {

namespace {

// splitmix64: a 64-bit state stepped by a constant and mixed by its finaliser.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) noexcept : state_(seed) {}
  std::uint64_t next() noexcept {
    std::uint64_t z = state_ += 0x9e3779b97f4a7c15;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  // A number below `bound` (at least 1), every one equally likely: draws below 2^64 mod bound
  // are thrown away, so that what is left is a whole number of runs of `bound`.
  std::uint64_t below(std::uint64_t bound) noexcept {
    const std::uint64_t threshold = (0 - bound) % bound;
    for (;;) {
      if (const std::uint64_t draw = next(); draw >= threshold) return draw % bound;
    }
  }

 private:
  std::uint64_t state_;
};

}  // namespace

std::vector<std::uint32_t> repeatCases(std::span<const std::uint32_t> selected, unsigned times) {
  std::vector<std::uint32_t> order;
  order.reserve(selected.size() * times);
  for (unsigned pass = 0; pass < times; ++pass)
    order.insert(order.end(), selected.begin(), selected.end());
  return order;
}

void shuffleCases(std::vector<std::uint32_t>& order, std::uint64_t seed) noexcept {
  SplitMix random(seed);
  for (std::size_t i = order.size(); i > 1; --i)
    std::swap(order[i - 1], order[random.below(i)]);
}

std::uint64_t freshSeed() noexcept {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  // Mixed once, so that two runs a moment apart do not get neighbouring seeds.
  SplitMix mix(static_cast<std::uint64_t>(nanoseconds) ^
               (static_cast<std::uint64_t>(::getpid()) << 40));
  return mix.next();
}

}  // namespace vesk::driver
