// The world's nearest-entity search against the plain scan that evaluates every distance, over
// 1,000 to 1,000,000 active entities (time per entity and the ratio of the two), and the
// throughput of createEntity on the checking allocator and on the C library's allocator.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <vesk/vesk_ecs.hpp>
#include <vesk/vesk_harness.hpp>
#include "plain_find_nearest.hpp"

namespace vesk {
namespace {

using testing::plainFindNearest;

HomVec4 randomPoint(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> coordinate(-1.0, 1.0);
  return HomVec4::init(coordinate(rng), coordinate(rng), coordinate(rng), coordinate(rng));
}

// One world per size, built once and shared by both searches, with active entities at random
// normalised positions.
const World& worldOf(std::size_t count) {
  static std::map<std::size_t, World> worlds;
  auto found = worlds.find(count);
  if (found != worlds.end()) return found->second;
  World world = World::init(mallocAllocator());
  std::mt19937_64 rng(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!world.createEntity("bench").has_value()) panic("benchmark world ran out of memory");
    world.entities[i].setPosition(randomPoint(rng));
  }
  return worlds.emplace(count, std::move(world)).first->second;
}

std::vector<HomVec4> queries() {
  std::mt19937_64 rng(99);
  std::vector<HomVec4> points;
  points.reserve(64);
  for (int i = 0; i < 64; ++i)
    points.push_back(randomPoint(rng));
  return points;
}

template <std::optional<EntityId> (*search)(const World&, HomVec4)>
void findNearestBench(benchmark::State& state) {
  const std::size_t count = static_cast<std::size_t>(state.range(0));
  const World& world = worldOf(count);
  const std::vector<HomVec4> points = queries();
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(search(world, points[next]));
    next = (next + 1) % points.size();
  }
  state.counters["per_entity"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

std::optional<EntityId> worldFindNearest(const World& world, HomVec4 position) {
  return world.findNearest(position);
}

void BM_FindNearest(benchmark::State& state) {
  findNearestBench<worldFindNearest>(state);
}
void BM_FindNearestPlainScan(benchmark::State& state) {
  findNearestBench<plainFindNearest>(state);
}
BENCHMARK(BM_FindNearest)->Arg(1'000)->Arg(100'000)->Arg(1'000'000);
BENCHMARK(BM_FindNearestPlainScan)->Arg(1'000)->Arg(100'000)->Arg(1'000'000);

// Creates 10,000 entities in a fresh world per iteration and releases the world.
constexpr std::int64_t ENTITIES_PER_WORLD = 10'000;

void createEntities(benchmark::State& state, Allocator allocator) {
  for (auto _ : state) {
    World world = World::init(allocator);
    for (std::int64_t i = 0; i < ENTITIES_PER_WORLD; ++i) {
      benchmark::DoNotOptimize(world.createEntity("bench"));
    }
    world.deinit();
  }
  state.SetItemsProcessed(state.iterations() * ENTITIES_PER_WORLD);
}

void BM_CreateEntityCheckingAllocator(benchmark::State& state) {
  checkingAllocatorInit();
  createEntities(state, testingAllocator());
  if (checkingAllocatorDeinit() != Check::ok) state.SkipWithError("the world leaked");
}

void BM_CreateEntityMallocAllocator(benchmark::State& state) {
  createEntities(state, mallocAllocator());
}

BENCHMARK(BM_CreateEntityCheckingAllocator);
BENCHMARK(BM_CreateEntityMallocAllocator);

// Prints as usual, then the search's time as a fraction of the plain scan's for each size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that saved output stays plain text.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // CPU time, which other load on the machine disturbs less; with repetitions, their mean.
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
        times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean") {
        times_[run.run_name.str()] = run.GetAdjustedCPUTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* size : {"1000", "100000", "1000000"}) {
      const auto fast = times_.find(std::string("BM_FindNearest/") + size);
      const auto plain = times_.find(std::string("BM_FindNearestPlainScan/") + size);
      if (fast == times_.end() || plain == times_.end()) continue;
      std::printf("findNearest / plain scan at %s entities: %.3f\n", size,
                  fast->second / plain->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace vesk

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vesk::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
