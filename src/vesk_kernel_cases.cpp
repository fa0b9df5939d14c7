// The registered cases of the projective kernel, in the order the case table runs them. Each case
// stops at its first failed expectation; computed values go in the "expected" position unless a
// case says otherwise.
#include <array>
#include <cmath>
#include <cstddef>

#include <vesk/vesk_kernel.hpp>
#include "vesk_cases.hpp"

namespace vesk {

namespace {

Result<void> homVec4Constructors() {
  const HomVec4 v = HomVec4::fromCartesian(3, 4, 5);
  VESK_TRY(expectApproxEqAbs(v.x, 3.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(v.y, 4.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(v.z, 5.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(v.w, 1.0, 1e-10));
  const std::array<double, 3> p = v.cartesian3();
  VESK_TRY(expectApproxEqAbs(p[0], 3.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(p[1], 4.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(p[2], 5.0, 1e-10));
  const HomVec4 u = HomVec4::init(2, 4, 6, 2);
  const std::array<double, 3> q = u.cartesian3();
  VESK_TRY(expectApproxEqAbs(q[0], 1.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(q[1], 2.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(q[2], 3.0, 1e-10));
  return {};
}

Result<void> homVec4Normalization() {
  const HomVec4 n = HomVec4::init(3, 0, 0, 4).normalize();
  VESK_TRY(expectApproxEqAbs(n.norm(), 1.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(n.x, 0.6, 1e-10));
  VESK_TRY(expectApproxEqAbs(n.w, 0.8, 1e-10));
  return {};
}

Result<void> homVec4DotAndSamePoint() {
  const HomVec4 a = HomVec4::init(1, 0, 0, 0);
  const HomVec4 b = HomVec4::init(1, 0, 0, 0);
  VESK_TRY(expectApproxEqAbs(HomVec4::dot(a, b), 1.0, 1e-10));
  const HomVec4 e = HomVec4::init(0, 1, 0, 0);
  VESK_TRY(expectApproxEqAbs(HomVec4::dot(a, e), 0.0, 1e-10));
  const HomVec4 neg_a = HomVec4::init(-1, 0, 0, 0);
  VESK_TRY(expect(HomVec4::isSamePoint(a, neg_a, 1e-8)));
  return {};
}

Result<void> homVec4Antipodal() {
  const HomVec4 p = HomVec4::init(1, 2, 3, 4);
  const HomVec4 neg_p = HomVec4::init(-1, -2, -3, -4);
  VESK_TRY(expect(HomVec4::isAntipodalTo(p, neg_p, 1e-8)));
  const HomVec4 other = HomVec4::init(1, 2, 3, 5);
  VESK_TRY(expect(!HomVec4::isAntipodalTo(p, other, 1e-8)));
  return {};
}

Result<void> homVec4AffineCard() {
  VESK_TRY(expect(HomVec4::init(1, 2, 3, 4).pickBestCard() == AffineCard::UW));
  VESK_TRY(expect(HomVec4::init(5, 1, 1, 1).pickBestCard() == AffineCard::UX));
  VESK_TRY(expect(HomVec4::init(1, 6, 1, 1).pickBestCard() == AffineCard::UY));
  VESK_TRY(expect(HomVec4::init(1, 1, 7, 1).pickBestCard() == AffineCard::UZ));
  return {};
}

Result<void> fubiniStudyKnownValues() {
  const HomVec4 e0 = HomVec4::init(1, 0, 0, 0);
  VESK_TRY(expectApproxEqAbs(fsDistance(e0, HomVec4::init(1, 0, 0, 0)), 0.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(fsDistance(e0, HomVec4::init(0, 1, 0, 0)), 1.5707963267948966, 1e-10));
  const HomVec4 p = HomVec4::init(1, 0, 0, 1).normalize();
  const HomVec4 neg_p = HomVec4::init(-1, 0, 0, -1).normalize();
  VESK_TRY(expectApproxEqAbs(fsDistance(p, neg_p), 0.0, 1e-6));
  VESK_TRY(expectApproxEqAbs(fsDistance(e0.normalize(), p), 0.7853981633974483, 1e-10));
  return {};
}

Result<void> pgl4IdentityAction() {
  const PGL4 I = PGL4::identity();
  const HomVec4 result = I.apply(HomVec4::init(3, 4, 5, 1));
  VESK_TRY(expectApproxEqAbs(result.x, 3.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(result.y, 4.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(result.z, 5.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(result.w, 1.0, 1e-10));
  return {};
}

Result<void> pgl4Determinant() {
  VESK_TRY(expectApproxEqAbs(PGL4::identity().det(), 1.0, 1e-10));
  const PGL4 S = pglScale(2, 3, 4);
  VESK_TRY(expectApproxEqAbs(S.det(), 24.0, 1e-10));
  return {};
}

Result<void> pgl4TranslationAndScale() {
  const PGL4 T = pglTranslate(10, 20, 30);
  const HomVec4 v = HomVec4::fromCartesian(1, 2, 3);
  const std::array<double, 3> c = T.apply(v).cartesian3();
  VESK_TRY(expectApproxEqAbs(c[0], 11.0, 1e-8));
  VESK_TRY(expectApproxEqAbs(c[1], 22.0, 1e-8));
  VESK_TRY(expectApproxEqAbs(c[2], 33.0, 1e-8));
  return {};
}

Result<void> pgl4NewtonSchulzInverse() {
  const PGL4 M = pglScale(2, 3, 4);
  const PGL4 M_inv = M.inverse(1e-10, 15);
  // M itself on the left, not the regularised matrix the iteration inverted.
  const PGL4 product = PGL4::mul(M, M_inv);
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col) {
      const double expected = row == col ? 1.0 : 0.0;
      VESK_TRY(expectApproxEqAbs(product.get(row, col), expected, 1e-6));
    }
  }
  return {};
}

Result<void> pgl4NormalizeDet() {
  const PGL4 M = pglScale(2, 3, 4);
  const PGL4 M_norm = M.normalizeDet();
  VESK_TRY(expectApproxEqAbs(std::fabs(M_norm.det()), 1.0, 1e-6));
  return {};
}

Result<void> pgl4RotationPreservesNorm() {
  const PGL4 R = pglRotateZ(0.7853981633974483);
  const HomVec4 v = HomVec4::init(1, 0, 0, 1);
  const double n_before = v.norm();
  const double n_after = R.apply(v).norm();
  VESK_TRY(expectApproxEqAbs(n_before, n_after, 1e-10));
  return {};
}

Result<void> simdDot4AndNormalize() {
  const F32x4 a = f32x4(1, 0, 0, 0);
  const F32x4 b = f32x4(1, 0, 0, 0);
  VESK_TRY(expectApproxEqAbs(simdDot4(a, b), 1.0f, 1e-5f));
  const F32x4 n = simdNormalize3(f32x4(3, 0, 0, 4));
  VESK_TRY(expectApproxEqAbs(simdDot4(n, n), 1.0f, 1e-5f));
  return {};
}

Result<void> cordicInverseSqrt() {
  VESK_TRY(expectApproxEqAbs(cordicInvSqrt(4.0), 0.5, 1e-10));
  VESK_TRY(expectApproxEqAbs(cordicInvSqrt(1.0), 1.0, 1e-10));
  VESK_TRY(expectApproxEqAbs(cordicInvSqrt(9.0), 0.3333333333333333, 1e-10));
  return {};
}

Result<void> resonanceIsAntisymmetric() {
  PGL4 A = PGL4::init({});
  for (std::size_t i = 0; i < 16; ++i)
    A.data[i] = static_cast<double>(i + 1);
  const PGL4 J = computeResonance(A);
  const PGL4 Jt = J.transpose();
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col) {
      VESK_TRY(expectApproxEqAbs(Jt.get(row, col), -J.get(row, col), 1e-10));
    }
  }
  return {};
}

Result<void> projectorIsIdempotent() {
  const PGL4 Jc = PGL4::init({0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0});
  const PGL4 Pi = computeProjector(Jc, 1e-8);
  const PGL4 Pi2 = PGL4::mul(Pi, Pi);
  for (std::size_t i = 0; i < 16; ++i) {
    VESK_TRY(expectApproxEqAbs(Pi2.data[i], Pi.data[i], 1e-4));
  }
  return {};
}

Result<void> deformedProductWithZeroEpsilon() {
  const PGL4 A = pglScale(2, 1, 1);
  const PGL4 B = pglTranslate(3, 0, 0);
  const PGL4 standard = PGL4::mul(A, B);
  const PGL4 deformed = deformedTensorProduct(A, B, 0.0);
  for (std::size_t i = 0; i < 16; ++i) {
    VESK_TRY(expectApproxEqAbs(standard.data[i], deformed.data[i], 1e-10));
  }
  return {};
}

Result<void> geodesicScaleRoundTrip() {
  const double R = R_KALDRA_KM * 1000.0;
  const double W = wFromDistance(1000.0, R);
  const double s = sFromW(W, R);
  // Here the literal is the expected value and the round trip the actual one.
  VESK_TRY(expectApproxEqAbs(1000.0, s, 0.01));
  return {};
}

Result<void> pglFromHomogeneousRegular() {
  // A singular constant here would not compile; at run time only the regular matrix is checked.
  constexpr PGL4 M = pglFromHomogeneous({{
      {2, 0, 0, 0},
      {0, 3, 0, 0},
      {0, 0, 4, 0},
      {0, 0, 0, 5},
  }});
  VESK_TRY(expectApproxEqAbs(M.det(), 120.0, 1e-6));
  return {};
}

constexpr TestCase KERNEL_CASES[] = {
    {"vesk_kernel.test.HomVec4: constructors and cartesian dehomogenization", homVec4Constructors},
    {"vesk_kernel.test.HomVec4: normalization on S³", homVec4Normalization},
    {"vesk_kernel.test.HomVec4: dot product and isSamePoint", homVec4DotAndSamePoint},
    {"vesk_kernel.test.HomVec4: antipodal check Z/2Z", homVec4Antipodal},
    {"vesk_kernel.test.HomVec4: affine card selection", homVec4AffineCard},
    {"vesk_kernel.test.Fubini-Study distance: known values", fubiniStudyKnownValues},
    {"vesk_kernel.test.PGL4: identity action", pgl4IdentityAction},
    {"vesk_kernel.test.PGL4: determinant", pgl4Determinant},
    {"vesk_kernel.test.PGL4: translation and scale", pgl4TranslationAndScale},
    {"vesk_kernel.test.PGL4: Newton-Schulz inverse", pgl4NewtonSchulzInverse},
    {"vesk_kernel.test.PGL4: normalizeDet → det ≈ 1", pgl4NormalizeDet},
    {"vesk_kernel.test.PGL4: rotation preserves norm", pgl4RotationPreservesNorm},
    {"vesk_kernel.test.SIMD: dot4 and normalize", simdDot4AndNormalize},
    {"vesk_kernel.test.CORDIC inverse sqrt", cordicInverseSqrt},
    {"vesk_kernel.test.Resonance J = A − Aᵀ is antisymmetric", resonanceIsAntisymmetric},
    {"vesk_kernel.test.Projector Π_Λ is idempotent: Π² = Π", projectorIsIdempotent},
    {"vesk_kernel.test.Deformed tensor product: ε=0 is standard mul",
     deformedProductWithZeroEpsilon},
    {"vesk_kernel.test.w_from_distance / s_from_W round-trip", geodesicScaleRoundTrip},
    {"vesk_kernel.test.PGL4 comptime: pglFromHomogeneous rejects singular",
     pglFromHomogeneousRegular},
};

}  // namespace

std::span<const TestCase> kernelCases() noexcept {
  return KERNEL_CASES;
}

}  // namespace vesk
