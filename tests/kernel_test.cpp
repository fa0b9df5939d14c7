// Tests of the projective kernel: exact values of the degenerate and boundary cases, and
// bit-for-bit agreement of the vectorised matrix code with plain scalar loops in the documented
// order.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include <vesk/vesk_kernel.hpp>

namespace vesk {
namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();
constexpr double INFINITE = std::numeric_limits<double>::infinity();
constexpr double RADIUS_M = R_KALDRA_KM * 1000.0;

// ---------------------------------------------------------------------------------------------
// Scalar references: the documented loops, one rounded operation at a time.

HomVec4 refApply(const PGL4& m, HomVec4 v) {
  const double comp[4] = {v.x, v.y, v.z, v.w};
  double r[4] = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col)
      r[row] = r[row] + m.get(row, col) * comp[col];
  }
  return HomVec4::init(r[0], r[1], r[2], r[3]);
}

PGL4 refMul(const PGL4& a, const PGL4& b) {
  PGL4 r{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k)
        sum = sum + a.get(row, k) * b.get(k, col);
      r.set(row, col, sum);
    }
  }
  return r;
}

PGL4 refTranspose(const PGL4& m) {
  PGL4 r{};
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col)
      r.set(row, col, m.get(col, row));
  }
  return r;
}

// Three products per update, the residual product formed anew each time.
PGL4 refInverse(const PGL4& self, double delta, std::uint32_t max_iter) {
  const PGL4 I4 = PGL4::identity();
  PGL4 m_reg = self;
  for (std::size_t i = 0; i < 4; ++i)
    m_reg.set(i, i, m_reg.get(i, i) + delta);
  const PGL4 mt = refTranspose(m_reg);
  double norm_sq = 0.0;
  for (std::size_t i = 0; i < 16; ++i)
    norm_sq = norm_sq + m_reg.data[i] * m_reg.data[i];
  PGL4 x = mt;
  for (std::size_t i = 0; i < 16; ++i)
    x.data[i] = x.data[i] / norm_sq;
  for (std::uint32_t iter = 0; iter < max_iter;) {
    const PGL4 mx = refMul(m_reg, x);
    PGL4 two_i_minus_mx{};
    for (std::size_t i = 0; i < 16; ++i)
      two_i_minus_mx.data[i] = 2.0 * I4.data[i] - mx.data[i];
    x = refMul(x, two_i_minus_mx);
    const PGL4 residual_check = refMul(m_reg, x);
    double residual = 0.0;
    for (std::size_t i = 0; i < 16; ++i) {
      const double diff = std::fabs(residual_check.data[i] - I4.data[i]);
      if (diff > residual) residual = diff;
    }
    if (residual < 1e-12) break;
    ++iter;
  }
  return x;
}

double refFsDistance(HomVec4 a, HomVec4 b) {
  const double na = std::sqrt(((a.x * a.x + a.y * a.y) + a.z * a.z) + a.w * a.w);
  const double nb = std::sqrt(((b.x * b.x + b.y * b.y) + b.z * b.z) + b.w * b.w);
  if (na < 1e-15 || nb < 1e-15) return 0.0;
  const double d = std::fabs(((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w) / (na * nb);
  return std::acos(std::fmin(d, 1.0));
}

// ---------------------------------------------------------------------------------------------
// Helpers

// Bit-for-bit identity, -0 and NaN payloads included: results are reproducible to the bit.
bool sameBits(const PGL4& a, const PGL4& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;  // NOLINT(bugprone-suspicious-memory-comparison)
}
bool sameBits(HomVec4 a, HomVec4 b) {
  return std::memcmp(&a, &b, sizeof a) == 0;  // NOLINT(bugprone-suspicious-memory-comparison)
}

bool allNaN(const PGL4& m) {
  for (const double e : m.data) {
    if (!std::isnan(e)) return false;
  }
  return true;
}

// The matrix of determinant 54 used by several tests.
PGL4 det54() {
  return PGL4::fromRowMajor({{{4, 7, 2, 1}, {3, 6, 1, 0}, {2, 5, 3, 8}, {1, 0, 2, 9}}});
}

double maxAbsDiffFromIdentity(const PGL4& m) {
  double worst = 0.0;
  for (std::size_t i = 0; i < 16; ++i) {
    worst = std::fmax(worst, std::fabs(m.data[i] - PGL4::identity().data[i]));
  }
  return worst;
}

// Random matrices: most with real-valued entries, some with small integers and signed zeros so
// that exact cancellations and negative-zero products occur.
std::vector<PGL4> randomMatrices(std::size_t count) {
  std::mt19937_64 rng(0x5eed);
  std::uniform_real_distribution<double> real(-10.0, 10.0);
  std::uniform_int_distribution<int> small(-2, 2);
  std::vector<PGL4> out;
  for (std::size_t n = 0; n < count; ++n) {
    PGL4 m{};
    for (double& e : m.data) {
      if (n % 3 == 0) {
        const int k = small(rng);
        e = k == 0 && (rng() & 1) ? -0.0 : static_cast<double>(k);
      } else {
        e = real(rng);
      }
    }
    out.push_back(m);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// HomVec4

TEST(HomVec4, NormalizeKeepsSignsAndFallsBackBelowTheZeroThreshold) {
  EXPECT_TRUE(sameBits(HomVec4::zero().normalize(), HomVec4::init(0, 0, 0, 1)));
  EXPECT_TRUE(sameBits(HomVec4::init(1e-16, 0, 0, 0).normalize(), HomVec4::init(0, 0, 0, 1)));
  // A norm of exactly 1e-15 is not below the threshold and is divided.
  EXPECT_TRUE(sameBits(HomVec4::init(1e-15, 0, 0, 0).normalize(), HomVec4::init(1, 0, 0, 0)));
  EXPECT_TRUE(sameBits(HomVec4::init(0, 0, 0, -2).normalize(), HomVec4::init(0, 0, 0, -1)));
  EXPECT_TRUE(sameBits(HomVec4::init(3, 0, 0, 4).normalize(), HomVec4::init(0.6, 0, 0, 0.8)));
  EXPECT_TRUE(std::isnan(HomVec4::init(NOT_A_NUMBER, 1, 0, 0).normalize().w));
}

TEST(HomVec4, Cartesian3DividesByWUnlessNearInfinity) {
  EXPECT_EQ(HomVec4::init(-2, -4, -6, -2).cartesian3(), (std::array<double, 3>{1, 2, 3}));
  // |w| = 1e-6 is not below W_EPS (strict test): still a division by w.
  EXPECT_EQ(HomVec4::init(1, 0, 0, 1e-6).cartesian3()[0], 1 / 1e-6);
  EXPECT_EQ(HomVec4::init(1, 2, 2, 0).cartesian3(),
            (std::array<double, 3>{0.3333333333333333, 0.6666666666666666, 0.6666666666666666}));
  EXPECT_EQ(HomVec4::zero().cartesian3(), (std::array<double, 3>{0, 0, 0}));
  for (const double w : {5e-7, -5e-7}) {
    // w enters the norm, so the direction is a hair shorter than a unit vector.
    const auto d = HomVec4::init(3, 0, 4, w).cartesian3();
    EXPECT_NEAR(d[0], 0.599999999999997, 1e-15);
    EXPECT_LT(d[0], 0.6);
    EXPECT_NEAR(d[2], 0.799999999999996, 1e-15);
  }
}

TEST(HomVec4, IsSamePointIgnoresScaleAndSignWithinTheTolerance) {
  const HomVec4 e0 = HomVec4::init(1, 0, 0, 0);
  EXPECT_TRUE(HomVec4::isSamePoint(e0, HomVec4::init(1, 1e-5, 0, 0), 1e-8));
  EXPECT_FALSE(HomVec4::isSamePoint(e0, HomVec4::init(1, 2e-4, 0, 0), 1e-8));
  const HomVec4 v = HomVec4::init(1, 2, 3, 4);
  for (const double k : {3.0, -3.0, 1e10, -1e-3}) {
    const HomVec4 kv = HomVec4::init(k * v.x, k * v.y, k * v.z, k * v.w);
    EXPECT_TRUE(HomVec4::isSamePoint(v, kv, 1e-8)) << k;
    EXPECT_TRUE(HomVec4::isAntipodalTo(v, kv, 1e-8)) << k;
  }
  EXPECT_TRUE(HomVec4::isAntipodalTo(v, v, 1e-8));
  EXPECT_FALSE(HomVec4::isAntipodalTo(v, HomVec4::init(1, 2, 3, 5), 1e-8));
}

TEST(HomVec4, IsSamePointRejectsVectorsShorterThanTheTolerance) {
  EXPECT_FALSE(HomVec4::isSamePoint(HomVec4::init(1, 0, 0, 0), HomVec4::init(1e-9, 0, 0, 0), 1e-8));
  EXPECT_FALSE(HomVec4::isSamePoint(HomVec4::zero(), HomVec4::zero(), 1e-8));
  EXPECT_FALSE(HomVec4::isAntipodalTo(HomVec4::init(NOT_A_NUMBER, 0, 0, 1),
                                      HomVec4::init(0, 0, 0, 1), 1e-8));
}

TEST(HomVec4, PickBestCardBreaksTiesInTheOrderWXYZ) {
  EXPECT_EQ(HomVec4::init(1, 1, 1, 1).pickBestCard(), AffineCard::UW);
  EXPECT_EQ(HomVec4::init(2, 2, 1, 1).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(0, 3, 3, 0).pickBestCard(), AffineCard::UY);
  EXPECT_EQ(HomVec4::init(-9, 1, 1, 1).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(1, 1, -7, 1).pickBestCard(), AffineCard::UZ);
  EXPECT_EQ(HomVec4::zero().pickBestCard(), AffineCard::UW);
  // A NaN x fails every comparison it is part of, so neither w nor x can win.
  EXPECT_EQ(HomVec4::init(NOT_A_NUMBER, 1, 1, 1).pickBestCard(), AffineCard::UY);
}

// ---------------------------------------------------------------------------------------------
// Fubini-Study distance and geodesic scale

TEST(FsDistance, ClampsOnlyCosinesAboveOne) {
  // d = 1.0000000000000002 is clamped to 1; d = 0.9999999999999998 is not rounded up.
  EXPECT_EQ(fsDistance(HomVec4::init(1, 1, 1, 0), HomVec4::init(1, 1, 1, 0)), 0.0);
  const double self = fsDistance(HomVec4::init(1, 1, 0, 0), HomVec4::init(1, 1, 0, 0));
  EXPECT_NEAR(self, 2.1073424e-08, 1e-15);
  EXPECT_GT(self, 0.0);
}

TEST(FsDistance, IgnoresScaleAndSignAndStaysWithinHalfPi) {
  EXPECT_EQ(fsDistance(HomVec4::init(2, 0, 0, 0), HomVec4::init(0, 0, 0, 5)), std::numbers::pi / 2);
  EXPECT_NEAR(fsDistance(HomVec4::init(1, 0, 0, 0), HomVec4::init(-1, 1e-3, 0, 0)), 1e-3, 1e-9);
  const HomVec4 p = HomVec4::init(0.3, -1.2, 2.5, 0.7);
  EXPECT_NEAR(fsDistance(p, HomVec4::init(-3 * p.x, -3 * p.y, -3 * p.z, -3 * p.w)), 0.0, 1e-7);
}

TEST(FsDistance, DegenerateInputsGiveZero) {
  const HomVec4 e0 = HomVec4::init(1, 0, 0, 0);
  EXPECT_EQ(fsDistance(HomVec4::zero(), e0), 0.0);
  EXPECT_EQ(fsDistance(e0, HomVec4::init(9e-16, 0, 0, 0)), 0.0);
  EXPECT_EQ(fsDistance(HomVec4::init(NOT_A_NUMBER, 0, 0, 1), e0), 0.0);
  EXPECT_EQ(fsDistance(HomVec4::init(INFINITE, 0, 0, 1), e0), 0.0);
}

TEST(FsDistance, MatchesTheScalarFormulaBitForBit) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  for (int n = 0; n < 5000; ++n) {
    const HomVec4 a = HomVec4::init(u(rng), u(rng), u(rng), u(rng));
    // Every fourth pair is nearly parallel, where the clamp and the last bits matter most.
    const HomVec4 b = n % 4 == 0 ? HomVec4::init(a.x * 2, a.y * 2, a.z * 2, a.w * 2 + 1e-9)
                                 : HomVec4::init(u(rng), u(rng), u(rng), u(rng));
    ASSERT_EQ(std::bit_cast<std::uint64_t>(fsDistance(a, b)),
              std::bit_cast<std::uint64_t>(refFsDistance(a, b)))
        << n;
  }
}

TEST(GeodesicScale, ClampsWAndRoundTripsUpToRounding) {
  EXPECT_EQ(sFromW(1.5, RADIUS_M), 0.0);
  EXPECT_EQ(sFromW(NOT_A_NUMBER, RADIUS_M), 0.0);
  EXPECT_EQ(sFromW(-2.0, RADIUS_M), (2.0 * RADIUS_M) * std::acos(-1.0));
  EXPECT_EQ(sFromW(0.0, RADIUS_M), (2.0 * RADIUS_M) * (std::numbers::pi / 2));
  EXPECT_EQ(wFromDistance(0.0, RADIUS_M), 1.0);
  // Half the circumference: cos of (the rounded) pi/2, zero up to the rounding of pi·R.
  EXPECT_NEAR(wFromDistance(std::numbers::pi * RADIUS_M, RADIUS_M), 0.0, 1e-15);
  const double w = wFromDistance(1000.0, RADIUS_M);
  EXPECT_NEAR(w, 0.9999999963329037, 1e-16);
  EXPECT_NEAR(sFromW(w, RADIUS_M), 1000.0, 1e-5);  // precision is lost near W = 1
  EXPECT_NEAR(sFromW(wFromDistance(1.5e7, RADIUS_M), RADIUS_M), 1.5e7, 1e-6);
  EXPECT_TRUE(std::isnan(wFromDistance(1.0, 0.0)));
}

// ---------------------------------------------------------------------------------------------
// Single-precision and inverse-square-root primitives

std::array<float, 4> lanes(F32x4 v) {
  return {v[0], v[1], v[2], v[3]};
}

TEST(Simd, Dot4SumsTheProductsInLaneOrder) {
  EXPECT_EQ(simdDot4(f32x4(1, 2, 3, 4), f32x4(5, 6, 7, 8)), 70.0f);
  // ((1e8 + 1) − 1e8) + 1 = 1 in single precision; a pairwise sum would give 0.
  EXPECT_EQ(simdDot4(f32x4(1e8f, 1, -1e8f, 1), f32x4(1, 1, 1, 1)), 1.0f);
}

TEST(Simd, Normalize3ScalesAllFourLanesOrFallsBack) {
  EXPECT_EQ(lanes(simdNormalize3(f32x4(3, 0, 0, 4))), (std::array<float, 4>{0.6f, 0, 0, 0.8f}));
  EXPECT_EQ(lanes(simdNormalize3(f32x4(1e-7f, 0, 0, 0))), (std::array<float, 4>{1, 0, 0, 0}));
  for (const float x : {0.0f, 1e-8f}) {
    EXPECT_EQ(lanes(simdNormalize3(f32x4(x, 0, 0, 0))), (std::array<float, 4>{0, 0, 0, 1}));
  }
  for (const float e : lanes(simdNormalize3(f32x4(std::nanf(""), 0, 0, 1)))) {
    EXPECT_TRUE(std::isnan(e));
  }
}

TEST(CordicInvSqrt, GivesTheExactResultsOfThreeNewtonSteps) {
  EXPECT_EQ(cordicInvSqrt(4.0), 0.49999999998618955);
  EXPECT_EQ(cordicInvSqrt(1.0), 0.9999999999723791);
  EXPECT_EQ(cordicInvSqrt(9.0), 0.33333333333142373);
  EXPECT_EQ(cordicInvSqrt(2.0), 0.7071067811865382);
  for (const double x : {0.0, -0.0, -1.0})
    EXPECT_EQ(cordicInvSqrt(x), 0.0) << x;
  // Outside the normal range the estimate is poor, but nothing stops.
  EXPECT_NEAR(cordicInvSqrt(5e-324), 3.24e154, 0.01e154);
  EXPECT_EQ(cordicInvSqrt(INFINITE), -INFINITE);
  // Any result will do for NaN, as long as nothing stops.
  (void)cordicInvSqrt(NOT_A_NUMBER);
}

TEST(CordicInvSqrt, IsAccurateForPositiveNormalArguments) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> exponent(-300.0, 300.0);
  for (int n = 0; n < 10000; ++n) {
    const double x = std::pow(10.0, exponent(rng));
    const double exact = 1.0 / std::sqrt(x);
    ASSERT_LT(std::fabs(cordicInvSqrt(x) - exact) / exact, 3.2e-11) << x;
  }
}

// ---------------------------------------------------------------------------------------------
// PGL4: construction and access

TEST(PGL4, StoresColumnsContiguously) {
  const PGL4 m =
      PGL4::fromRowMajor({{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}}});
  EXPECT_EQ(m.data,
            (std::array<double, 16>{1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 4, 8, 12, 16}));
  PGL4 t = pglTranslate(1, 2, 3);
  EXPECT_EQ(t.get(0, 3), 1.0);
  EXPECT_EQ(t.get(2, 3), 3.0);
  EXPECT_EQ(t.get(3, 0), 0.0);
  t.set(3, 3, 7.0);
  EXPECT_EQ(t.data[15], 7.0);
}

TEST(PGL4DeathTest, FlatIndexSixteenOrMoreStops) {
  const PGL4 m = PGL4::identity();
  EXPECT_DEATH((void)m.get(0, 4), "index out of bounds: index 16, len 16");
  const auto write_index_17 = [] {
    PGL4 w = PGL4::identity();
    w.set(1, 4, 0.0);
  };
  EXPECT_DEATH(write_index_17(), "index out of bounds: index 17, len 16");
}

TEST(PGL4, RotateZTurnsXTowardsYWithANegativeZeroAtZero) {
  const PGL4 r = pglRotateZ(0.0);
  EXPECT_EQ(r.data, PGL4::identity().data);
  EXPECT_TRUE(std::signbit(r.get(0, 1)));
  EXPECT_FALSE(std::signbit(r.get(1, 0)));
  const HomVec4 v = pglRotateZ(std::numbers::pi / 2).apply(HomVec4::init(1, 0, 0, 1));
  EXPECT_TRUE(sameBits(v, HomVec4::init(6.123233995736766e-17, 1, 0, 1)));
}

TEST(PGL4, PglFromHomogeneousEqualsFromRowMajor) {
  constexpr std::array<std::array<double, 4>, 4> ROWS = {
      {{2, 0, 0, 1}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}};
  constexpr PGL4 M = pglFromHomogeneous(ROWS);
  EXPECT_TRUE(sameBits(M, PGL4::fromRowMajor(ROWS)));
  EXPECT_EQ(M.det(), 120.0);
}

// ---------------------------------------------------------------------------------------------
// PGL4: action, product, transpose, determinant

TEST(PGL4, ApplyActsOnColumnVectorsWithTheRightFactorFirst) {
  EXPECT_TRUE(
      sameBits(pglScale(2, 2, 2).apply(HomVec4::init(1, 1, 1, 1)), HomVec4::init(2, 2, 2, 1)));
  // A point at infinity does not move under a translation.
  EXPECT_TRUE(
      sameBits(pglTranslate(1, 2, 3).apply(HomVec4::init(1, 1, 1, 0)), HomVec4::init(1, 1, 1, 0)));
  const HomVec4 p = HomVec4::init(1, 0, 0, 1);
  EXPECT_TRUE(sameBits(PGL4::mul(pglTranslate(1, 0, 0), pglScale(2, 2, 2)).apply(p),
                       HomVec4::init(3, 0, 0, 1)));
  EXPECT_TRUE(sameBits(PGL4::mul(pglScale(2, 2, 2), pglTranslate(1, 0, 0)).apply(p),
                       HomVec4::init(4, 0, 0, 1)));
}

TEST(PGL4, ProductHandlesSignedZerosAndInfinitiesLikeTheScalarLoop) {
  // Entry (0, 0) sums 1·(−0), 0·(−1), 0·(−1), 0·(−1): four negative zeros. The sum starts at +0,
  // so it ends at +0; the other entries of column 0 keep their −1.
  const PGL4 b = PGL4::init({-0.0, -1, -1, -1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
  const PGL4 p = PGL4::mul(PGL4::identity(), b);
  EXPECT_EQ(p.get(0, 0), 0.0);
  EXPECT_FALSE(std::signbit(p.get(0, 0)));
  EXPECT_EQ(p.get(1, 0), -1.0);
  PGL4 a = PGL4::identity();
  a.set(0, 1, INFINITE);
  const PGL4 q = PGL4::mul(a, PGL4::identity());
  EXPECT_TRUE(std::isnan(q.get(0, 0)));  // inf·0 from a(0,1)·I(1,0)
  EXPECT_EQ(q.get(1, 1), 1.0);
}

TEST(PGL4, TransposeTwiceIsTheSameBits) {
  PGL4 m = det54();
  m.data[3] = NOT_A_NUMBER;
  m.data[6] = -0.0;
  EXPECT_TRUE(sameBits(m.transpose().transpose(), m));
}

TEST(PGL4, OptimisedOperationsMatchTheScalarLoopsBitForBit) {
  const std::vector<PGL4> ms = randomMatrices(2000);
  for (std::size_t n = 0; n + 1 < ms.size(); ++n) {
    const PGL4& a = ms[n];
    const PGL4& b = ms[n + 1];
    ASSERT_TRUE(sameBits(PGL4::mul(a, b), refMul(a, b))) << n;
    ASSERT_TRUE(sameBits(a.transpose(), refTranspose(a))) << n;
    const HomVec4 v = HomVec4::init(b.data[0], b.data[5], b.data[10], b.data[15]);
    ASSERT_TRUE(sameBits(a.apply(v), refApply(a, v))) << n;
    // Against the plain cofactor expansion, which pglFromHomogeneous also evaluates while the
    // program is built.
    ASSERT_EQ(std::bit_cast<std::uint64_t>(a.det()),
              std::bit_cast<std::uint64_t>(detail::cofactorDet(a)))
        << n;
  }
}

// Every sign pattern of zero and non-finite products in a row: rows run through all 10^4
// combinations of ten values, against columns that make the products +0, −0 (also by underflow:
// 1e-200·1e-200), infinite or NaN. All NaNs here are the machine's default NaN, the one 0·inf
// yields, so which NaN operand an addition keeps cannot change a result.
TEST(PGL4, ProductAndActionMatchTheScalarLoopsForZeroAndNonFiniteProducts) {
  const double default_nan = std::bit_cast<double>(0xfff8000000000000ULL);
  volatile double zero = 0.0;
  ASSERT_EQ(std::bit_cast<std::uint64_t>(zero * INFINITE),
            std::bit_cast<std::uint64_t>(default_nan));
  const double values[10] = {0.0,     -0.0,     1.0,       -1.0,        1e-200,
                             -1e-200, INFINITE, -INFINITE, default_nan, 3.0};
  const PGL4 rights[] = {
      PGL4::init({1, 1, 1, 1, -1, -1, -1, -1, -0.0, -0.0, -0.0, -0.0, 0, -0.0, 0, -0.0}),
      PGL4::init({1e-200, -1e-200, -1e-200, 1e-200, -1e-200, -1e-200, -1e-200, -1e-200, INFINITE,
                  -0.0, default_nan, -1, -3, 1e-200, -0.0, -INFINITE}),
  };
  for (std::size_t n = 0; n < 10000; ++n) {
    PGL4 a{};
    for (std::size_t row = 0; row < 4; ++row) {
      std::size_t digits = (n + row * 2500) % 10000;
      for (std::size_t col = 0; col < 4; ++col, digits /= 10)
        a.set(row, col, values[digits % 10]);
    }
    for (const PGL4& b : rights) {
      ASSERT_TRUE(sameBits(PGL4::mul(a, b), refMul(a, b))) << n;
      for (std::size_t col = 0; col < 16; col += 4) {
        const HomVec4 v =
            HomVec4::init(b.data[col], b.data[col + 1], b.data[col + 2], b.data[col + 3]);
        ASSERT_TRUE(sameBits(a.apply(v), refApply(a, v))) << n << " " << col;
      }
    }
  }
}

TEST(PGL4, DeterminantOfKnownMatrices) {
  EXPECT_EQ(pglScale(2, 3, 4).det(), 24.0);
  EXPECT_EQ(PGL4::fromRowMajor({{{0, 1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}).det(),
            -1.0);
  EXPECT_EQ(det54().det(), 54.0);
  for (int step = 0; step < 38; ++step) {  // angles from -7 to 6.69 radians
    const double theta = -7.0 + 0.37 * step;
    EXPECT_NEAR(pglRotateZ(theta).det(), 1.0, 1e-15) << theta;
  }
}

TEST(PGL4, NormalizeDetScalesEveryEntryAndKeepsTheSign) {
  const PGL4 m = pglScale(2, 3, 4);
  const double factor = std::pow(24.0, -0.25);
  EXPECT_NEAR(factor, 0.451801001804922, 1e-15);
  const PGL4 n = m.normalizeDet();
  for (std::size_t i = 0; i < 16; ++i)
    EXPECT_EQ(n.data[i], m.data[i] * factor) << i;
  EXPECT_EQ(n.get(3, 3), factor);
  EXPECT_NEAR(n.det(), 1.0, 1e-15);
  const PGL4 negative = pglScale(-2, 2, 2).normalizeDet();
  EXPECT_NEAR(negative.get(3, 3), 0.594603557501361, 1e-15);
  EXPECT_NEAR(negative.det(), -1.0, 1e-15);
}

TEST(PGL4, NormalizeDetLeavesNearlySingularMatricesAlone) {
  for (const double s : {0.0, 1e-16}) {
    const PGL4 m = pglScale(s, 1, 1);
    EXPECT_TRUE(sameBits(m.normalizeDet(), m)) << s;
  }
  PGL4 bad = PGL4::identity();
  bad.data[5] = NOT_A_NUMBER;
  EXPECT_TRUE(allNaN(bad.normalizeDet()));
}

// ---------------------------------------------------------------------------------------------
// Newton-Schulz inverse

TEST(Inverse, OfTheScaleMatrixEndsOnTheTenthUpdate) {
  const PGL4 m = pglScale(2, 3, 4);
  const PGL4 nine = m.inverse(1e-10, 9);
  const PGL4 ten = m.inverse(1e-10, 10);
  EXPECT_FALSE(sameBits(nine, ten));
  EXPECT_TRUE(sameBits(ten, m.inverse(1e-10, 15)));

  PGL4 m_reg = m;
  for (std::size_t i = 0; i < 4; ++i)
    m_reg.set(i, i, m_reg.get(i, i) + 1e-10);
  const double after_nine = maxAbsDiffFromIdentity(PGL4::mul(m_reg, nine));
  EXPECT_GT(after_nine, 2e-8);
  EXPECT_LT(after_nine, 4e-8);
  EXPECT_LT(maxAbsDiffFromIdentity(PGL4::mul(m_reg, ten)), 1e-15);
  EXPECT_LT(maxAbsDiffFromIdentity(PGL4::mul(m, ten)), 1e-9);
}

TEST(Inverse, OfTheDet54MatrixNeedsSixteenUpdates) {
  const PGL4 a = det54();
  const PGL4 sixteen = a.inverse(0.0, 16);
  EXPECT_FALSE(sameBits(a.inverse(0.0, 15), sixteen));
  EXPECT_TRUE(sameBits(a.inverse(0.0, 30), sixteen));
  EXPECT_LT(maxAbsDiffFromIdentity(PGL4::mul(a, sixteen)), 1e-12);
  // Ten updates are far from the inverse, and that is still the result.
  EXPECT_GT(maxAbsDiffFromIdentity(PGL4::mul(a, a.inverse(0.0, 10))), 1e-3);
}

TEST(Inverse, StartsFromTheScaledTransposeOfTheShiftedMatrix) {
  const PGL4 x0 = pglScale(2, 3, 4).inverse(0.0, 0);
  EXPECT_TRUE(sameBits(x0, PGL4::init({2.0 / 30, 0, 0, 0, 0, 3.0 / 30, 0, 0, 0, 0, 4.0 / 30, 0, 0,
                                       0, 0, 1.0 / 30})));
  // delta changes the matrix being inverted: this is the inverse of 2·I.
  const PGL4 x = PGL4::identity().inverse(1.0, 50);
  for (std::size_t i = 0; i < 16; ++i)
    EXPECT_NEAR(x.data[i], i % 5 == 0 ? 0.5 : 0.0, 1e-15) << i;
}

TEST(Inverse, OfSingularMatricesRunsOutOrTurnsNaN) {
  const PGL4 m = pglScale(0, 1, 1);
  const PGL4 five = m.inverse(0.0, 5);
  EXPECT_FALSE(sameBits(m.inverse(0.0, 4), five));  // all five updates ran
  EXPECT_EQ(five.get(0, 0), 0.0);
  for (const std::uint32_t max_iter : {0u, 1u, 50u}) {
    EXPECT_TRUE(allNaN(PGL4::init({}).inverse(0.0, max_iter))) << max_iter;
  }
}

TEST(Inverse, MatchesThreeProductsPerUpdateBitForBit) {
  const std::vector<PGL4> ms = randomMatrices(300);
  for (std::size_t n = 0; n < ms.size(); ++n) {
    const double delta = n % 2 == 0 ? 0.0 : 1e-6;
    const std::uint32_t max_iter = static_cast<std::uint32_t>(n % 40);
    ASSERT_TRUE(sameBits(ms[n].inverse(delta, max_iter), refInverse(ms[n], delta, max_iter))) << n;
  }
  for (const std::uint32_t max_iter : {9u, 10u, 15u}) {
    ASSERT_TRUE(sameBits(pglScale(2, 3, 4).inverse(1e-10, max_iter),
                         refInverse(pglScale(2, 3, 4), 1e-10, max_iter)));
  }
}

// ---------------------------------------------------------------------------------------------
// Resonance, projector and deformed product

TEST(Resonance, IsTwiceTheAntisymmetricPart) {
  PGL4 a{};
  for (std::size_t i = 0; i < 16; ++i)
    a.data[i] = static_cast<double>(i + 1);
  EXPECT_EQ(computeResonance(a).data,
            (std::array<double, 16>{0, -3, -6, -9, 3, 0, -3, -6, 6, 3, 0, -3, 9, 6, 3, 0}));
  const PGL4 j = computeResonance(det54());
  PGL4 twice{};
  for (std::size_t i = 0; i < 16; ++i)
    twice.data[i] = 2.0 * j.data[i];
  EXPECT_TRUE(sameBits(computeResonance(j), twice));
  for (const PGL4& sym : {PGL4::identity(), pglScale(2, 3, 4)}) {
    for (const double e : computeResonance(sym).data)
      EXPECT_EQ(e, 0.0);
  }
}

TEST(Projector, ProjectsOntoTheNullSpaceOfJ) {
  // An orthogonal J has no null space: about 2·delta/(1 + 2·delta) times the identity.
  const PGL4 jc = PGL4::init({0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0});
  const PGL4 pi = computeProjector(jc, 1e-8);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_NEAR(pi.data[i], i % 5 == 0 ? 2e-8 / (1 + 2e-8) : 0.0, 1e-15) << i;
  }
  // J = diag(1, 1, 0, 0): the projector onto the last two axes, although the inverse does not
  // converge within its 8 updates.
  const PGL4 j = PGL4::init({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const PGL4 p = computeProjector(j, 1e-8);
  const double want[4] = {2e-8, 2e-8, 1.0, 1.0};
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_NEAR(p.get(i, i), want[i], 1e-9) << i;
  EXPECT_EQ(p.get(0, 1), 0.0);
}

TEST(Projector, OfTheZeroMatrixIsTheIdentityOrNaN) {
  const PGL4 zero = PGL4::init({});
  EXPECT_TRUE(sameBits(computeProjector(zero, 1e-3), PGL4::identity()));
  EXPECT_TRUE(allNaN(computeProjector(zero, 0.0)));
}

TEST(DeformedTensorProduct, AddsTheScaledEntryWiseProduct) {
  const PGL4 a = pglScale(2, 1, 1);
  const PGL4 b = pglTranslate(3, 0, 0);
  EXPECT_EQ(deformedTensorProduct(a, b, 0.0).data,
            (std::array<double, 16>{2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 6, 0, 0, 1}));
  EXPECT_EQ(deformedTensorProduct(a, b, 1.0).data,
            (std::array<double, 16>{4, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 6, 0, 0, 2}));
  const PGL4 half = deformedTensorProduct(PGL4::identity(), PGL4::identity(), 0.5);
  for (std::size_t i = 0; i < 16; ++i)
    EXPECT_EQ(half.data[i], i % 5 == 0 ? 1.5 : 0.0);
  // An infinite entry makes its own entry NaN even with epsilon 0 (0·inf).
  PGL4 inf = PGL4::identity();
  inf.set(2, 2, INFINITE);
  const PGL4 d = deformedTensorProduct(inf, PGL4::identity(), 0.0);
  EXPECT_TRUE(std::isnan(d.get(2, 2)));
  EXPECT_EQ(d.get(0, 0), 1.0);
}

}  // namespace
}  // namespace vesk
