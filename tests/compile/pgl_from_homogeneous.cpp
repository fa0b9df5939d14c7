// Compiled, not run: a regular constant matrix must build, and a singular one (with
// VESK_SINGULAR defined: 1 for dependent rows, 2 for a NaN entry) must fail to build with a
// diagnostic naming the refusal.
#include <limits>

#include <vesk/vesk_kernel.hpp>

namespace {

#if VESK_SINGULAR == 1
[[maybe_unused]] constexpr vesk::PGL4 kMatrix = vesk::pglFromHomogeneous({{
    {1, 2, 3, 4},
    {2, 4, 6, 8},
    {0, 0, 1, 0},
    {0, 0, 0, 1},
}});
#elif VESK_SINGULAR == 2
[[maybe_unused]] constexpr vesk::PGL4 kMatrix = vesk::pglFromHomogeneous({{
    {std::numeric_limits<double>::quiet_NaN(), 0, 0, 0},
    {0, 1, 0, 0},
    {0, 0, 1, 0},
    {0, 0, 0, 1},
}});
#else
[[maybe_unused]] constexpr vesk::PGL4 kMatrix = vesk::pglFromHomogeneous({{
    {2, 0, 0, 0},
    {0, 3, 0, 0},
    {0, 0, 4, 0},
    {0, 0, 0, 5},
}});
static_assert(kMatrix.data[0] == 2 && kMatrix.data[5] == 3 && kMatrix.data[15] == 5);
static_assert(vesk::detail::cofactorDet(kMatrix) == 120);
#endif

}  // namespace
