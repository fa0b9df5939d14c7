// The checking allocator's cost per small allocation and free (return-address capture and
// bookkeeping included), beside the C library's allocator doing the same work.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>

#include <vesk/checking_allocator.hpp>
#include <vesk/vesk_base.hpp>

namespace {

// Slots are never handed out twice within one instance, so a long run takes a fresh instance
// every so often, as the runner does between cases; the cost of that is part of the measurement.
constexpr std::size_t PAIRS_PER_INSTANCE = 1024;

void renewInstanceEvery(std::size_t& count, std::size_t period) {
  if (++count % period != 0) return;
  benchmark::DoNotOptimize(vesk::checkingAllocatorDeinit());
  vesk::checkingAllocatorInit();
}

void BM_CheckingAllocatorPair(benchmark::State& state) {
  vesk::checkingAllocatorInit();
  const vesk::Allocator gpa = vesk::testingAllocator();
  const auto len = static_cast<std::size_t>(state.range(0));
  std::size_t pairs = 0;
  for (auto _ : state) {
    auto block = gpa.allocate<std::byte>(len);
    benchmark::DoNotOptimize(block->data());
    gpa.release(*block);
    renewInstanceEvery(pairs, PAIRS_PER_INSTANCE);
  }
  benchmark::DoNotOptimize(vesk::checkingAllocatorDeinit());
}
BENCHMARK(BM_CheckingAllocatorPair)->Arg(24)->Arg(2048);

void BM_MallocPair(benchmark::State& state) {
  const auto len = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    void* p = std::malloc(len);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}
BENCHMARK(BM_MallocPair)->Arg(24)->Arg(2048);

// 64 blocks live at once before they are freed, so neither allocator can hand the same block back
// straight away. Time is per pair.
constexpr std::size_t BATCH = 64;

void BM_CheckingAllocatorBatch(benchmark::State& state) {
  vesk::checkingAllocatorInit();
  const vesk::Allocator gpa = vesk::testingAllocator();
  std::array<std::span<std::byte>, BATCH> blocks;
  std::size_t batches = 0;
  for (auto _ : state) {
    for (auto& block : blocks)
      block = *gpa.allocate<std::byte>(24);
    benchmark::DoNotOptimize(blocks.data());
    for (auto block : blocks)
      gpa.release(block);
    renewInstanceEvery(batches, PAIRS_PER_INSTANCE / BATCH);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * BATCH));
  benchmark::DoNotOptimize(vesk::checkingAllocatorDeinit());
}
BENCHMARK(BM_CheckingAllocatorBatch);

void BM_MallocBatch(benchmark::State& state) {
  std::array<void*, BATCH> blocks;
  for (auto _ : state) {
    for (auto& block : blocks)
      block = std::malloc(24);
    benchmark::DoNotOptimize(blocks.data());
    for (void* block : blocks)
      std::free(block);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * BATCH));
}
BENCHMARK(BM_MallocBatch);

}  // namespace

BENCHMARK_MAIN();
