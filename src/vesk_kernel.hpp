// Projective geometry kernel: points of real projective 3-space as homogeneous 4-vectors, 4x4
// projective transforms, the Fubini-Study distance, an approximate Newton-Schulz inverse and a few
// single-precision primitives. Pure value arithmetic: nothing allocates, nothing reports errors,
// and every result follows the evaluation order written in the source, bit for bit (the library
// is built without contraction into fused multiply-adds).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "vesk_base.hpp"

namespace vesk {

/// Radius of the reference world, in kilometres.
inline constexpr double R_KALDRA_KM = 5838.4;
/// In `HomVec4::cartesian3`, a weight of magnitude strictly below this counts as zero.
inline constexpr double W_EPS = 1e-6;

/// Four single-precision lanes in one 16-byte SIMD value, operated on lane-wise.
using F32x4 = float __attribute__((vector_size(16)));

/// The four-lane vector (x, y, z, w).
inline F32x4 f32x4(float x, float y, float z, float w) noexcept { return F32x4{x, y, z, w}; }

/// The four lane products summed in lane order, each addition rounded to single precision.
inline float simdDot4(F32x4 a, F32x4 b) noexcept {
  const F32x4 p = a * b;
  return ((p[0] + p[1]) + p[2]) + p[3];
}

/// `v` divided lane-wise by its length over all four lanes; (0, 0, 0, 1) when the squared length
/// is below 1e-15.
F32x4 simdNormalize3(F32x4 v) noexcept;

/// The affine chart in which one divides by w, x, y or z.
enum class AffineCard : std::uint8_t { UW = 0, UX = 1, UY = 2, UZ = 3 };

/// A point of real projective 3-space: any four values, the zero vector included. v and k·v (k
/// non-zero, negative included) stand for the same point.
struct HomVec4 {
  double x;
  double y;
  double z;
  double w;

  /// The vector (X, Y, Z, W), stored unchanged.
  static constexpr HomVec4 init(double X, double Y, double Z, double W) noexcept {
    return HomVec4{X, Y, Z, W};
  }
  /// The point (x, y, z, 1).
  static constexpr HomVec4 fromCartesian(double x, double y, double z) noexcept {
    return init(x, y, z, 1.0);
  }
  /// The all-zero vector.
  static constexpr HomVec4 zero() noexcept { return init(0, 0, 0, 0); }

  /// Cartesian coordinates (x/w, y/w, z/w); near the plane at infinity (|w| < `W_EPS`) the
  /// direction (x, y, z)/norm, and (0, 0, 0) for a vector of norm below 1e-15.
  std::array<double, 3> cartesian3() const noexcept;
  /// The Euclidean norm of all four components.
  double norm() const noexcept;
  /// This vector divided by its norm, signs kept; (0, 0, 0, 1) for a norm below 1e-15.
  HomVec4 normalize() const noexcept;
  /// The raw dot product of the two vectors (not normalised).
  static constexpr double dot(HomVec4 a, HomVec4 b) noexcept {
    return ((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w;
  }
  /// Whether a and b are the same projective point within `tol` (scale and sign ignored); false
  /// when either is shorter than `tol`.
  static bool isSamePoint(HomVec4 a, HomVec4 b, double tol) noexcept;
  /// `isSamePoint(a, -b, tol)`, which equals `isSamePoint(a, b, tol)` since sign is ignored.
  static bool isAntipodalTo(HomVec4 a, HomVec4 b, double tol) noexcept;
  /// The chart of the largest-magnitude coordinate; ties go to w, then x, then y.
  AffineCard pickBestCard() const noexcept;
};

/// Fubini-Study distance between two points, in radians in [0, pi/2]; 0 when either vector has a
/// norm below 1e-15 or the cosine is NaN.
double fsDistance(HomVec4 a, HomVec4 b) noexcept;
/// W = cos(s / 2R) for a length `s_meters` on a world of radius `R_meters`.
double wFromDistance(double s_meters, double R_meters) noexcept;
/// s = 2R · arccos(W), metres, with W clamped into [-1, 1] (NaN counts as 1).
double sFromW(double W, double R_meters) noexcept;
/// Approximately 1/sqrt(x), from the bit pattern and three Newton steps; 0 for x <= 0.
double cordicInvSqrt(double x) noexcept;

/// A projective transform: a 4x4 matrix stored column-major, entry (row, col) at data[col*4 + row].
/// Transforms act on column vectors; in `mul(a, b)` the right operand acts first.
struct PGL4 {
  std::array<double, 16> data;

  /// The identity matrix.
  static PGL4 identity() noexcept;
  /// The matrix holding `data` in storage order, unchanged.
  static constexpr PGL4 init(const std::array<double, 16>& data) noexcept { return PGL4{data}; }
  /// The matrix whose entry (row, col) is m[row][col].
  static constexpr PGL4 fromRowMajor(const std::array<std::array<double, 4>, 4>& m) noexcept {
    PGL4 r{};
    for (std::size_t col = 0; col < 4; ++col) {
      for (std::size_t row = 0; row < 4; ++row) r.data[col * 4 + row] = m[row][col];
    }
    return r;
  }
  /// Entry (row, col); stops with "index out of bounds" when col*4 + row reaches 16.
  double get(std::size_t row, std::size_t col) const noexcept {
    const std::size_t i = col * 4 + row;
    checkIndex(i, 16);
    return data[i];
  }
  /// Writes entry (row, col); stops with "index out of bounds" when col*4 + row reaches 16.
  void set(std::size_t row, std::size_t col, double val) noexcept {
    const std::size_t i = col * 4 + row;
    checkIndex(i, 16);
    data[i] = val;
  }
  /// The product self·v, neither normalised nor dehomogenised.
  HomVec4 apply(HomVec4 v) const noexcept;
  /// The product a·b (b acts first on a point).
  static PGL4 mul(PGL4 a, PGL4 b) noexcept;
  /// The transpose.
  PGL4 transpose() const noexcept;
  /// The determinant, by cofactor expansion along row 0.
  double det() const noexcept;
  /// This matrix scaled to a determinant of magnitude 1 (sign kept); unchanged when the
  /// determinant's magnitude is below 1e-15.
  PGL4 normalizeDet() const noexcept;
  /// Approximate inverse of self + delta·I by at most `max_iter` Newton-Schulz updates; never fails.
  PGL4 inverse(double delta, std::uint32_t max_iter) const noexcept;
};

/// `PGL4::fromRowMajor(m)` for a matrix fixed when the program is built; a singular matrix is
/// refused at compile time.
consteval PGL4 pglFromHomogeneous(const std::array<std::array<double, 4>, 4>& m);
/// The translation by (tx, ty, tz).
PGL4 pglTranslate(double tx, double ty, double tz) noexcept;
/// The scale diag(sx, sy, sz, 1).
PGL4 pglScale(double sx, double sy, double sz) noexcept;
/// The rotation about the z axis by `angle` radians (x turns towards y).
PGL4 pglRotateZ(double angle) noexcept;

/// The resonance J = A - Aᵀ (antisymmetric).
PGL4 computeResonance(PGL4 a) noexcept;
/// The projector I - Jᵀ·(J·Jᵀ + 2·delta·I)⁻¹·J, with the inverse as far as 8 updates take it.
PGL4 computeProjector(PGL4 jc, double delta) noexcept;
/// X·Y + epsilon·(X ∘ Y), ∘ being the entry-wise product.
PGL4 deformedTensorProduct(PGL4 x, PGL4 y, double epsilon) noexcept;

}  // namespace vesk
