// Projective geometry kernel: points of real projective 3-space as homogeneous 4-vectors, 4x4
// projective transforms, the Fubini-Study distance, an approximate Newton-Schulz inverse and a few
// single-precision primitives. Pure value arithmetic: nothing allocates, nothing reports errors,
// and every result follows the evaluation order written in the source, bit for bit (the library
// is built without contraction into fused multiply-adds).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include <vesk/panic.hpp>

namespace vesk {

/// Radius of the reference world, in kilometres.
inline constexpr double R_KALDRA_KM = 5838.4;
/// In `HomVec4::cartesian3`, a weight of magnitude strictly below this counts as zero.
inline constexpr double W_EPS = 1e-6;

/// Four single-precision lanes in one 16-byte SIMD value, operated on lane-wise.
using F32x4 = float __attribute__((vector_size(16)));

/// The four-lane vector (x, y, z, w).
inline F32x4 f32x4(float x, float y, float z, float w) noexcept {
  return F32x4{x, y, z, w};
}

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
inline double fsDistance(HomVec4 a, HomVec4 b) noexcept;
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
      for (std::size_t row = 0; row < 4; ++row)
        r.data[col * 4 + row] = m[row][col];
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
  /// Approximate inverse of self + delta·I by at most `max_iter` Newton-Schulz updates; never
  /// fails.
  PGL4 inverse(double delta, std::uint32_t max_iter) const noexcept;
};

namespace detail {

/// The determinant of the 3x3 matrix left when row `r` and column `c` of `m` are deleted.
constexpr double minor3(const PGL4& m, std::size_t r, std::size_t c) noexcept {
  double s[3][3] = {};
  std::size_t si = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i == r) continue;
    std::size_t sj = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      if (j == c) continue;
      s[si][sj] = m.data[j * 4 + i];
      ++sj;
    }
    ++si;
  }
  return s[0][0] * (s[1][1] * s[2][2] - s[1][2] * s[2][1]) -
         s[0][1] * (s[1][0] * s[2][2] - s[1][2] * s[2][0]) +
         s[0][2] * (s[1][0] * s[2][1] - s[1][1] * s[2][0]);
}

/// The cofactor expansion of `PGL4::det`, written plainly so that it also runs in constant
/// evaluation; `PGL4::det` computes the same value, bit for bit, faster.
constexpr double cofactorDet(const PGL4& m) noexcept {
  return ((m.data[0] * minor3(m, 0, 0) - m.data[4] * minor3(m, 0, 1)) +
          m.data[8] * minor3(m, 0, 2)) -
         m.data[12] * minor3(m, 0, 3);
}

/// Deliberately not constexpr: reaching a call to it in constant evaluation fails the build, and
/// the compiler's diagnostic names it.
void pglFromHomogeneous_refuses_a_singular_matrix() noexcept;

}  // namespace detail

/// `PGL4::fromRowMajor(m)` for a matrix fixed when the program is built; a matrix whose
/// determinant is zero (or NaN) fails the build.
consteval PGL4 pglFromHomogeneous(const std::array<std::array<double, 4>, 4>& m) {
  const PGL4 r = PGL4::fromRowMajor(m);
  // Exact zero rather than a threshold: the refusal is for matrices that are singular as
  // written (dependent rows, a zero row), not for badly scaled ones that `normalizeDet` can fix.
  // A NaN determinant (from non-finite entries) is no transform either.
  const double d = detail::cofactorDet(r);
  if (d == 0.0 || d != d) detail::pglFromHomogeneous_refuses_a_singular_matrix();
  return r;
}

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

// ---------------------------------------------------------------------------------------------
// Inline definitions. The operations that sit in callers' inner loops (the distance and the four
// basic matrix operations) are defined here so that they are expanded at the call instead of
// copying their by-value arguments into a call; their arithmetic is the same, operation for
// operation, wherever they are compiled (the library target passes -ffp-contract=off on to every
// consumer).

namespace detail {

/// Two double lanes in one SSE2 register: the distance's pair of norms, and pairs of entries
/// where whole columns do not pay (the transpose, the inverse's residual test).
using F64x2 = double __attribute__((vector_size(16)));
/// The integer vector of the same size, for lane masks. Lanes are rearranged with
/// __builtin_shufflevector, the form that both GCC and clang (for static analysis) accept.
using I64x2 = long long __attribute__((vector_size(16)));

/// Four double lanes: one column of a matrix. The matrix code is written once on whole columns;
/// the compiler emits one AVX operation per column where the target has AVX, and two SSE2
/// operations (rows 0-1, rows 2-3) where it has only SSE2. Lane i of every operation is the
/// scalar operation on row i, so the width never changes a result. Helpers take and give these
/// vectors by reference: a 32-byte vector passed by value would be passed differently with and
/// without AVX.
using F64x4 = double __attribute__((vector_size(32)));
/// The integer vector of the same size, for lane masks.
using I64x4 = long long __attribute__((vector_size(32)));

/// (a0, b0): the low-lane interleave.
[[gnu::always_inline]] inline F64x2 lows(F64x2 a, F64x2 b) noexcept {
  return __builtin_shufflevector(a, b, 0, 2);
}

/// (a1, b1): the high-lane interleave.
[[gnu::always_inline]] inline F64x2 highs(F64x2 a, F64x2 b) noexcept {
  return __builtin_shufflevector(a, b, 1, 3);
}

/// Two consecutive doubles, from any alignment.
[[gnu::always_inline]] inline F64x2 load2(const double* p) noexcept {
  F64x2 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

/// Stores two lanes to two consecutive doubles.
[[gnu::always_inline]] inline void store2(double* p, F64x2 v) noexcept {
  __builtin_memcpy(p, &v, sizeof v);
}

/// Loads four consecutive doubles, from any alignment, into `v`.
[[gnu::always_inline]] inline void load4(F64x4& v, const double* p) noexcept {
  __builtin_memcpy(&v, p, sizeof v);
}

/// Stores the four lanes of `v` to four consecutive doubles.
[[gnu::always_inline]] inline void store4(double* p, const F64x4& v) noexcept {
  __builtin_memcpy(p, &v, sizeof v);
}

/// The columns of a matrix.
struct Columns {
  F64x4 col[4];
};

/// The columns of `m`.
[[gnu::always_inline]] inline Columns columns(const PGL4& m) noexcept {
  Columns c;
#pragma GCC unroll 4
  for (std::size_t k = 0; k < 4; ++k)
    load4(c.col[k], &m.data[k * 4]);
  return c;
}

/// The matrix whose columns are `c`.
[[gnu::always_inline]] inline PGL4 fromColumns(const Columns& c) noexcept {
  PGL4 r;
#pragma GCC unroll 4
  for (std::size_t k = 0; k < 4; ++k)
    store4(&r.data[k * 4], c.col[k]);
  return r;
}

/// r = m·v, each row summed as (((0 + m(row,0)·v0) + m(row,1)·v1) + m(row,2)·v2) + m(row,3)·v3,
/// evaluated as ((p0 + p1) + p2) + (0 + p3) with the same bits for every input (two NaNs meeting
/// aside): docs/exact-arithmetic.md says why.
[[gnu::always_inline]] inline void combine(F64x4& r, const Columns& m, double v0, double v1,
                                           double v2, double v3) noexcept {
  const F64x4 last = m.col[3] * v3 + 0.0;
  r = ((m.col[0] * v0 + m.col[1] * v1) + m.col[2] * v2) + last;
}

/// The product a·b on columns: column c of the result combines the columns of `a` with the
/// entries of column c of `b`.
[[gnu::always_inline]] inline Columns product(const Columns& a, const Columns& b) noexcept {
  Columns r;
#pragma GCC unroll 4
  for (std::size_t c = 0; c < 4; ++c)
    combine(r.col[c], a, b.col[c][0], b.col[c][1], b.col[c][2], b.col[c][3]);
  return r;
}

}  // namespace detail

inline double fsDistance(HomVec4 a, HomVec4 b) noexcept {
  using detail::F64x2;
  const F64x2 a01 = {a.x, a.y};
  const F64x2 a23 = {a.z, a.w};
  const F64x2 b01 = {b.x, b.y};
  const F64x2 b23 = {b.z, b.w};
  // Both squared norms at once, lane 0 for a and lane 1 for b, each summed x, y, z, w as `norm`
  // does; one two-lane square root then gives both norms, each correctly rounded.
  const F64x2 x = detail::lows(a01, b01);
  const F64x2 y = detail::highs(a01, b01);
  const F64x2 z = detail::lows(a23, b23);
  const F64x2 w = detail::highs(a23, b23);
  const F64x2 n = __builtin_ia32_sqrtpd(((x * x + y * y) + z * z) + w * w);
  // The raw dot product, summed in the same order as `HomVec4::dot`.
  const F64x2 p = a01 * b01;
  const F64x2 q = a23 * b23;
  const double dot = ((p[0] + p[1]) + q[0]) + q[1];
  // Strict threshold, false for NaN: a NaN norm goes on and ends as distance 0 below.
  const detail::I64x2 zero_norm = n < F64x2{1e-15, 1e-15};
  if ((zero_norm[0] | zero_norm[1]) != 0) return 0.0;
  const double d = std::fabs(dot) / (n[0] * n[1]);
  // The minimum with 1.0, a NaN d yielding 1.0: the comparison is false for NaN.
  const double cos_theta = d < 1.0 ? d : 1.0;
  return std::acos(cos_theta);
}

inline HomVec4 PGL4::apply(HomVec4 v) const noexcept {
  detail::F64x4 r;
  detail::combine(r, detail::columns(*this), v.x, v.y, v.z, v.w);
  return HomVec4::init(r[0], r[1], r[2], r[3]);
}

inline PGL4 PGL4::mul(PGL4 a, PGL4 b) noexcept {
  // The entries of b are read from memory straight into all four lanes: one broadcast load each
  // on AVX, a load and an interleave on SSE2.
  const detail::Columns ac = detail::columns(a);
  PGL4 r;
#pragma GCC unroll 4
  for (std::size_t col = 0; col < 16; col += 4) {
    detail::F64x4 rc;
    detail::combine(rc, ac, b.data[col], b.data[col + 1], b.data[col + 2], b.data[col + 3]);
    detail::store4(&r.data[col], rc);
  }
  return r;
}

inline PGL4 PGL4::transpose() const noexcept {
  // In 2x2 blocks: rows r, r+1 of columns c and c+1 become rows c, c+1 of columns r and r+1.
  // Pairs of lanes serve both widths here; written as four-lane shuffles of whole columns, the
  // SSE2 build would move every entry on its own.
  PGL4 t;
#pragma GCC unroll 2
  for (std::size_t c = 0; c < 4; c += 2) {
#pragma GCC unroll 2
    for (std::size_t r = 0; r < 4; r += 2) {
      const detail::F64x2 left = detail::load2(&data[c * 4 + r]);
      const detail::F64x2 right = detail::load2(&data[(c + 1) * 4 + r]);
      detail::store2(&t.data[r * 4 + c], detail::lows(left, right));
      detail::store2(&t.data[(r + 1) * 4 + c], detail::highs(left, right));
    }
  }
  return t;
}

inline double PGL4::det() const noexcept {
  // Cofactor expansion along row 0. The four 3x3 minors of rows 1-3 share their 2x2
  // determinants of rows 2-3: d_pq = m(2,p)·m(3,q) − m(2,q)·m(3,p) (p < q) is formed once and
  // used by both minors that contain it, each time exactly as the minor formula forms it.
  const auto m = [this](std::size_t row, std::size_t col) { return data[col * 4 + row]; };
  const double d23 = m(2, 2) * m(3, 3) - m(2, 3) * m(3, 2);
  const double d13 = m(2, 1) * m(3, 3) - m(2, 3) * m(3, 1);
  const double d12 = m(2, 1) * m(3, 2) - m(2, 2) * m(3, 1);
  const double minor0 = m(1, 1) * d23 - m(1, 2) * d13 + m(1, 3) * d12;
  const double d03 = m(2, 0) * m(3, 3) - m(2, 3) * m(3, 0);
  const double d02 = m(2, 0) * m(3, 2) - m(2, 2) * m(3, 0);
  const double minor1 = m(1, 0) * d23 - m(1, 2) * d03 + m(1, 3) * d02;
  const double d01 = m(2, 0) * m(3, 1) - m(2, 1) * m(3, 0);
  const double minor2 = m(1, 0) * d13 - m(1, 1) * d03 + m(1, 3) * d01;
  const double minor3 = m(1, 0) * d12 - m(1, 1) * d02 + m(1, 2) * d01;
  return ((m(0, 0) * minor0 - m(0, 1) * minor1) + m(0, 2) * minor2) - m(0, 3) * minor3;
}

}  // namespace vesk
