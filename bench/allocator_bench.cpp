// The checking allocator's cost per small allocation and free (return-address capture and
// bookkeeping included), beside the C library's allocator doing the same work.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>

#include <vesk/checking_allocator.hpp>
#include <vesk/vesk_base.hpp>

namespace {

void BM_CheckingAllocatorPair(benchmark::State& state) {
  vesk::checkingAllocatorInit();
  const vesk::Allocator gpa = vesk::testingAllocator();
  const auto len = static_cast<std::size_t>(state.range(0));
  // Freed slots come back after the quarantine, so one instance serves the whole run, as one
  // case would.
  for (auto _ : state) {
    auto block = gpa.allocate<std::byte>(len);
    benchmark::DoNotOptimize(block->data());
    gpa.release(*block);
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
  for (auto _ : state) {
    for (auto& block : blocks)
      block = *gpa.allocate<std::byte>(24);
    benchmark::DoNotOptimize(blocks.data());
    for (auto block : blocks)
      gpa.release(block);
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
