#include <vesk/vesk_kernel.hpp>

#include <bit>
#include <cmath>

namespace vesk {

namespace {

using detail::F64x2;
using detail::F64x4;
using detail::I64x2;

// Lane-wise |v|: clears the sign bits, exactly as std::fabs does per lane.
F64x2 abs2(F64x2 v) noexcept {
  return reinterpret_cast<F64x2>(reinterpret_cast<I64x2>(v) &
                                 I64x2{0x7fffffffffffffffLL, 0x7fffffffffffffffLL});
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Single-precision primitives

F32x4 simdNormalize3(F32x4 v) noexcept {
  const float d = simdDot4(v, v);
  if (d < 1e-15f) return f32x4(0, 0, 0, 1);
  const float len = std::sqrt(d);
  return v / F32x4{len, len, len, len};
}

// ---------------------------------------------------------------------------------------------
// HomVec4

std::array<double, 3> HomVec4::cartesian3() const noexcept {
  if (std::fabs(w) < W_EPS) {
    // At or next to the plane at infinity: a direction, scaled by the norm of all four components.
    const double n = norm();
    if (n < 1e-15) return {0.0, 0.0, 0.0};
    return {x / n, y / n, z / n};
  }
  return {x / w, y / w, z / w};
}

double HomVec4::norm() const noexcept {
  return std::sqrt(dot(*this, *this));
}

HomVec4 HomVec4::normalize() const noexcept {
  const double n = norm();
  // Strict: a norm of exactly 1e-15 is divided. NaN fails the test and divides too.
  if (n < 1e-15) return init(0, 0, 0, 1);
  return init(x / n, y / n, z / n, w / n);
}

bool HomVec4::isSamePoint(HomVec4 a, HomVec4 b, double tol) noexcept {
  const double na = a.norm();
  const double nb = b.norm();
  if (na < tol || nb < tol) return false;
  const double d = std::fabs(dot(a, b)) / (na * nb);
  return d > 1.0 - tol;
}

bool HomVec4::isAntipodalTo(HomVec4 a, HomVec4 b, double tol) noexcept {
  return isSamePoint(a, init(-b.x, -b.y, -b.z, -b.w), tol);
}

AffineCard HomVec4::pickBestCard() const noexcept {
  const double aw = std::fabs(w);
  const double ax = std::fabs(x);
  const double ay = std::fabs(y);
  const double az = std::fabs(z);
  if (aw >= ax && aw >= ay && aw >= az) return AffineCard::UW;
  if (ax >= ay && ax >= az) return AffineCard::UX;
  if (ay >= az) return AffineCard::UY;
  return AffineCard::UZ;
}

// ---------------------------------------------------------------------------------------------
// Fubini-Study distance and geodesic scale

double wFromDistance(double s_meters, double R_meters) noexcept {
  return std::cos(s_meters / (2.0 * R_meters));
}

double sFromW(double W, double R_meters) noexcept {
  // Clamp into [-1, 1]; both comparisons are false for NaN, which therefore ends up as 1.0.
  double wc = W < 1.0 ? W : 1.0;
  wc = wc > -1.0 ? wc : -1.0;
  return (2.0 * R_meters) * std::acos(wc);
}

double cordicInvSqrt(double x) noexcept {
  if (x <= 0.0) return 0.0;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  double y = std::bit_cast<double>(0x5fe6eb50c7b537a9ULL - (bits >> 1));
  const double half_x = 0.5 * x;
  for (int step = 0; step < 3; ++step)
    y = y * (1.5 - ((half_x * y) * y));
  return y;
}

// ---------------------------------------------------------------------------------------------
// PGL4

PGL4 PGL4::identity() noexcept {
  return init({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
}

PGL4 PGL4::normalizeDet() const noexcept {
  const double d = det();
  if (std::fabs(d) < 1e-15) return *this;
  const double det_scale = std::pow(std::fabs(d), -0.25);
  PGL4 r = *this;
  for (double& e : r.data)
    e = e * det_scale;
  return r;
}

PGL4 PGL4::inverse(double delta, std::uint32_t max_iter) const noexcept {
  // Every matrix of the iteration stays in column vectors from start to end: going through PGL4
  // values in between makes the compiler split them into single doubles and reassemble them
  // through memory, which costs more than the arithmetic.
  using detail::Columns;

  // m_reg = self + delta·I: delta is added to the four diagonal entries only, so the other
  // twelve entries stay exactly as they were.
  PGL4 shifted = *this;
  for (std::size_t i = 0; i < 4; ++i)
    shifted.data[i * 5] = shifted.data[i * 5] + delta;
  const Columns m = detail::columns(shifted);
  const Columns id = detail::columns(identity());

  // Squared Frobenius norm, summed in storage order.
  double norm_sq = 0.0;
#pragma GCC unroll 4
  for (std::size_t c = 0; c < 4; ++c) {
    const F64x4 sq = m.col[c] * m.col[c];
    norm_sq = norm_sq + sq[0];
    norm_sq = norm_sq + sq[1];
    norm_sq = norm_sq + sq[2];
    norm_sq = norm_sq + sq[3];
  }

  // X0 = m_regᵀ / ‖m_reg‖², every entry divided.
  Columns x = detail::columns(shifted.transpose());
#pragma GCC unroll 4
  for (std::size_t c = 0; c < 4; ++c)
    x.col[c] = x.col[c] / norm_sq;
  if (max_iter == 0) return detail::fromColumns(x);

  Columns two_i;
#pragma GCC unroll 4
  for (std::size_t c = 0; c < 4; ++c)
    two_i.col[c] = 2.0 * id.col[c];
  const F64x2 threshold = {1e-12, 1e-12};

  // The product m_reg·x that ends one update (the residual check) is bit for bit the product
  // that starts the next one, so each update after the first costs two products, not three.
  Columns mx = detail::product(m, x);
  for (std::uint32_t iter = 0; iter < max_iter;) {
    // x·(2I − mx), each column of 2I − mx formed right before the column of the product that
    // consumes it.
    Columns next;
#pragma GCC unroll 4
    for (std::size_t c = 0; c < 4; ++c) {
      const F64x4 t = two_i.col[c] - mx.col[c];
      detail::combine(next.col[c], x, t[0], t[1], t[2], t[3]);
    }
    x = next;
    mx = detail::product(m, x);

    // The residual is the largest |m_reg·x − I| over the entries, a NaN difference never raising
    // it, and the loop ends when it is below 1e-12. That holds exactly when no entry has an
    // ordered |difference| >= 1e-12, which the lanes can test independently of each other. The
    // test runs on pairs of lanes: the compiler splits four-lane arithmetic into SSE2 pairs, but
    // four-lane comparisons into single entries.
    I64x2 too_far = {0, 0};
#pragma GCC unroll 4
    for (std::size_t c = 0; c < 4; ++c) {
      const F64x4 diff = mx.col[c] - id.col[c];
      F64x2 half[2];
      __builtin_memcpy(half, &diff, sizeof half);
      too_far |= abs2(half[0]) >= threshold;
      too_far |= abs2(half[1]) >= threshold;
    }
    if ((too_far[0] | too_far[1]) == 0) break;
    ++iter;
  }
  return detail::fromColumns(x);
}

// ---------------------------------------------------------------------------------------------
// Transform constructors

PGL4 pglTranslate(double tx, double ty, double tz) noexcept {
  return PGL4::init({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, tx, ty, tz, 1});
}

PGL4 pglScale(double sx, double sy, double sz) noexcept {
  return PGL4::init({sx, 0, 0, 0, 0, sy, 0, 0, 0, 0, sz, 0, 0, 0, 0, 1});
}

PGL4 pglRotateZ(double angle) noexcept {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return PGL4::init({c, s, 0, 0, -s, c, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
}

// ---------------------------------------------------------------------------------------------
// Resonance, projector and deformed product

PGL4 computeResonance(PGL4 a) noexcept {
  const PGL4 at = a.transpose();
  PGL4 result;
  for (std::size_t i = 0; i < 16; ++i)
    result.data[i] = a.data[i] - at.data[i];
  return result;
}

PGL4 computeProjector(PGL4 jc, double delta) noexcept {
  const PGL4 I4 = PGL4::identity();
  const PGL4 jct = jc.transpose();
  PGL4 jjt = PGL4::mul(jc, jct);
  for (std::size_t i = 0; i < 4; ++i)
    jjt.set(i, i, jjt.get(i, i) + delta);
  // The inverse shifts the diagonal by delta once more: it approximates (J·Jᵀ + 2·delta·I)⁻¹.
  const PGL4 jjt_inv = jjt.inverse(delta, 8);
  const PGL4 middle = PGL4::mul(jct, jjt_inv);
  const PGL4 projector_part = PGL4::mul(middle, jc);
  PGL4 pi_lambda = I4;
  for (std::size_t i = 0; i < 16; ++i)
    pi_lambda.data[i] = I4.data[i] - projector_part.data[i];
  return pi_lambda;
}

PGL4 deformedTensorProduct(PGL4 x, PGL4 y, double epsilon) noexcept {
  const PGL4 linear = PGL4::mul(x, y);
  PGL4 result = linear;
  for (std::size_t i = 0; i < 16; ++i) {
    result.data[i] = linear.data[i] + ((epsilon * x.data[i]) * y.data[i]);
  }
  return result;
}

}  // namespace vesk
