// Throughput of the kernel's matrix operations next to the same operations of two established
// linear-algebra libraries on 4x4 doubles, and of the Fubini-Study distance next to the bare cost
// of the functions it cannot avoid (one arc cosine, two square roots, one division).
//
// Every iteration reads a different input from a small table, and every result goes through
// DoNotOptimize, so nothing is folded into a constant or dropped.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>
#if VESK_BENCH_EIGEN
#include <Eigen/Dense>
#endif
#if VESK_BENCH_GLM
#include <glm/glm.hpp>
#endif

#include <vesk/vesk_kernel.hpp>

namespace {

constexpr std::size_t COUNT = 256;  // a power of two: the index wraps with a mask
constexpr std::size_t MASK = COUNT - 1;

// The same random matrices in the three representations (all column-major).
struct Inputs {
  std::vector<vesk::PGL4> vesk;
  std::vector<vesk::HomVec4> points;
#if VESK_BENCH_EIGEN
  std::vector<Eigen::Matrix4d> eigen;
  std::vector<Eigen::Vector4d> eigen_points;
#endif
#if VESK_BENCH_GLM
  std::vector<glm::dmat4> glm;
  std::vector<glm::dvec4> glm_points;
#endif

  Inputs() {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (std::size_t n = 0; n < COUNT; ++n) {
      vesk::PGL4 m{};
      for (double& e : m.data)
        e = u(rng);
      vesk.push_back(m);
      const vesk::HomVec4 p = vesk::HomVec4::init(u(rng), u(rng), u(rng), u(rng));
      points.push_back(p);
#if VESK_BENCH_EIGEN
      Eigen::Matrix4d em;
      for (int col = 0; col < 4; ++col) {
        for (int row = 0; row < 4; ++row)
          em(row, col) = m.data[col * 4 + row];
      }
      eigen.push_back(em);
      eigen_points.emplace_back(p.x, p.y, p.z, p.w);
#endif
#if VESK_BENCH_GLM
      glm::dmat4 gm;
      for (int col = 0; col < 4; ++col) {
        for (int row = 0; row < 4; ++row)
          gm[col][row] = m.data[col * 4 + row];
      }
      glm.push_back(gm);
      glm_points.emplace_back(p.x, p.y, p.z, p.w);
#endif
    }
  }
};

const Inputs& inputs() {
  static const Inputs IN;
  return IN;
}

// --- mul ----------------------------------------------------------------------------------------

void MulVesk(benchmark::State& state) {
  const auto& m = inputs().vesk;
  std::size_t i = 0;
  for (auto _ : state) {
    vesk::PGL4 r = vesk::PGL4::mul(m[i & MASK], m[(i + 1) & MASK]);
    benchmark::DoNotOptimize(r);
    ++i;
  }
}

#if VESK_BENCH_EIGEN
void MulEigen(benchmark::State& state) {
  const auto& m = inputs().eigen;
  std::size_t i = 0;
  for (auto _ : state) {
    Eigen::Matrix4d r = m[i & MASK] * m[(i + 1) & MASK];
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

#if VESK_BENCH_GLM
void MulGlm(benchmark::State& state) {
  const auto& m = inputs().glm;
  std::size_t i = 0;
  for (auto _ : state) {
    glm::dmat4 r = m[i & MASK] * m[(i + 1) & MASK];
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

// --- apply --------------------------------------------------------------------------------------

void ApplyVesk(benchmark::State& state) {
  const auto& m = inputs().vesk;
  const auto& p = inputs().points;
  std::size_t i = 0;
  for (auto _ : state) {
    vesk::HomVec4 r = m[i & MASK].apply(p[(i + 7) & MASK]);
    benchmark::DoNotOptimize(r);
    ++i;
  }
}

#if VESK_BENCH_EIGEN
void ApplyEigen(benchmark::State& state) {
  const auto& m = inputs().eigen;
  const auto& p = inputs().eigen_points;
  std::size_t i = 0;
  for (auto _ : state) {
    Eigen::Vector4d r = m[i & MASK] * p[(i + 7) & MASK];
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

#if VESK_BENCH_GLM
void ApplyGlm(benchmark::State& state) {
  const auto& m = inputs().glm;
  const auto& p = inputs().glm_points;
  std::size_t i = 0;
  for (auto _ : state) {
    glm::dvec4 r = m[i & MASK] * p[(i + 7) & MASK];
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

// --- det ----------------------------------------------------------------------------------------

void DetVesk(benchmark::State& state) {
  const auto& m = inputs().vesk;
  std::size_t i = 0;
  for (auto _ : state) {
    double d = m[i & MASK].det();
    benchmark::DoNotOptimize(d);
    ++i;
  }
}

#if VESK_BENCH_EIGEN
void DetEigen(benchmark::State& state) {
  const auto& m = inputs().eigen;
  std::size_t i = 0;
  for (auto _ : state) {
    double d = m[i & MASK].determinant();
    benchmark::DoNotOptimize(d);
    ++i;
  }
}
#endif

#if VESK_BENCH_GLM
void DetGlm(benchmark::State& state) {
  const auto& m = inputs().glm;
  std::size_t i = 0;
  for (auto _ : state) {
    double d = glm::determinant(m[i & MASK]);
    benchmark::DoNotOptimize(d);
    ++i;
  }
}
#endif

// --- transpose ----------------------------------------------------------------------------------

void TransposeVesk(benchmark::State& state) {
  const auto& m = inputs().vesk;
  std::size_t i = 0;
  for (auto _ : state) {
    vesk::PGL4 r = m[i & MASK].transpose();
    benchmark::DoNotOptimize(r);
    ++i;
  }
}

#if VESK_BENCH_EIGEN
void TransposeEigen(benchmark::State& state) {
  const auto& m = inputs().eigen;
  std::size_t i = 0;
  for (auto _ : state) {
    Eigen::Matrix4d r = m[i & MASK].transpose();
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

#if VESK_BENCH_GLM
void TransposeGlm(benchmark::State& state) {
  const auto& m = inputs().glm;
  std::size_t i = 0;
  for (auto _ : state) {
    glm::dmat4 r = glm::transpose(m[i & MASK]);
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

// --- inverse ------------------------------------------------------------------------------------

// The registered case's call: converges on the tenth update, so 30 products by the plain count.
void InverseVeskScale(benchmark::State& state) {
  vesk::PGL4 m = vesk::pglScale(2, 3, 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(m);
    vesk::PGL4 r = m.inverse(1e-10, 15);
    benchmark::DoNotOptimize(r);
  }
}

// What those 30 products cost on their own, as the same dependent chain: each product needs the
// previous one, as the iteration's products do.
void ThirtyProductsVesk(benchmark::State& state) {
  vesk::PGL4 m = vesk::pglScale(2, 3, 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(m);
    vesk::PGL4 x = m;
    for (int k = 0; k < 30; ++k)
      x = vesk::PGL4::mul(m, x);
    benchmark::DoNotOptimize(x);
  }
}

// A general matrix, sixteen updates without a shift.
void InverseVeskGeneral(benchmark::State& state) {
  vesk::PGL4 m =
      vesk::PGL4::fromRowMajor({{{4, 7, 2, 1}, {3, 6, 1, 0}, {2, 5, 3, 8}, {1, 0, 2, 9}}});
  for (auto _ : state) {
    benchmark::DoNotOptimize(m);
    vesk::PGL4 r = m.inverse(0.0, 20);
    benchmark::DoNotOptimize(r);
  }
}

// The direct inverse, for reference: a different algorithm (cofactors and one division).
#if VESK_BENCH_EIGEN
void InverseEigen(benchmark::State& state) {
  const auto& m = inputs().eigen;
  std::size_t i = 0;
  for (auto _ : state) {
    Eigen::Matrix4d r = m[i & MASK].inverse();
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

#if VESK_BENCH_GLM
void InverseGlm(benchmark::State& state) {
  const auto& m = inputs().glm;
  std::size_t i = 0;
  for (auto _ : state) {
    glm::dmat4 r = glm::inverse(m[i & MASK]);
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
#endif

// --- fsDistance ---------------------------------------------------------------------------------

void FsDistanceVesk(benchmark::State& state) {
  const auto& p = inputs().points;
  std::size_t i = 0;
  for (auto _ : state) {
    double d = vesk::fsDistance(p[i & MASK], p[(i + 1) & MASK]);
    benchmark::DoNotOptimize(d);
    ++i;
  }
}

// The floor: the arc cosine, the two square roots and the division of the same pairs, with the
// squared norms and the dot product already at hand.
void FsDistanceFloor(benchmark::State& state) {
  const auto& p = inputs().points;
  std::vector<std::array<double, 3>> pre;  // squared norm of a, of b, |dot|
  for (std::size_t n = 0; n < COUNT; ++n) {
    const vesk::HomVec4 a = p[n];
    const vesk::HomVec4 b = p[(n + 1) & MASK];
    pre.push_back(
        {vesk::HomVec4::dot(a, a), vesk::HomVec4::dot(b, b), std::fabs(vesk::HomVec4::dot(a, b))});
  }
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& q = pre[i & MASK];
    double d = std::acos(q[2] / (std::sqrt(q[0]) * std::sqrt(q[1])));
    benchmark::DoNotOptimize(d);
    ++i;
  }
}

}  // namespace

BENCHMARK(MulVesk);
#if VESK_BENCH_EIGEN
BENCHMARK(MulEigen);
#endif
#if VESK_BENCH_GLM
BENCHMARK(MulGlm);
#endif
BENCHMARK(ApplyVesk);
#if VESK_BENCH_EIGEN
BENCHMARK(ApplyEigen);
#endif
#if VESK_BENCH_GLM
BENCHMARK(ApplyGlm);
#endif
BENCHMARK(DetVesk);
#if VESK_BENCH_EIGEN
BENCHMARK(DetEigen);
#endif
#if VESK_BENCH_GLM
BENCHMARK(DetGlm);
#endif
BENCHMARK(TransposeVesk);
#if VESK_BENCH_EIGEN
BENCHMARK(TransposeEigen);
#endif
#if VESK_BENCH_GLM
BENCHMARK(TransposeGlm);
#endif
BENCHMARK(InverseVeskScale);
BENCHMARK(ThirtyProductsVesk);
BENCHMARK(InverseVeskGeneral);
#if VESK_BENCH_EIGEN
BENCHMARK(InverseEigen);
#endif
#if VESK_BENCH_GLM
BENCHMARK(InverseGlm);
#endif
BENCHMARK(FsDistanceVesk);
BENCHMARK(FsDistanceFloor);

BENCHMARK_MAIN();
