#include "vesk_cases.hpp"

namespace vesk {

std::span<const TestCase> ecsCases() noexcept { return {}; }

}  // namespace vesk
