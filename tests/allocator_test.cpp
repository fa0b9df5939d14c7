// The checking allocator, the failing test allocator and the growable array built on them,
// tested in-process. Reports are read back by sending standard error to a memory file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vesk/checking_allocator.hpp>
#include <vesk/log.hpp>
#include <vesk/std_allocator.hpp>
#include <vesk/vesk_base.hpp>
#include "failing_allocator.hpp"
#include "sink_capture.hpp"
#include "trace_entry.hpp"

namespace vesk {
namespace {

using ::testing::HasSubstr;

using StderrCapture = testing::SinkCapture;

// A leak message as printed: the leaked address and the addresses of its record.
struct LeakReport {
  std::uint64_t address;
  std::vector<std::uint64_t> record;
};

std::vector<LeakReport> parseLeaks(const std::string& text) {
  constexpr std::string_view PREFIX = "[gpa] (err): memory address 0x";
  constexpr std::string_view SUFFIX = " leaked: \n";
  std::vector<LeakReport> leaks;
  for (std::size_t at = text.find(PREFIX); at != std::string::npos;
       at = text.find(PREFIX, at + 1)) {
    const std::size_t digits = at + PREFIX.size();
    const std::size_t after = text.find(SUFFIX, digits);
    if (after == std::string::npos) break;
    LeakReport report{std::stoull(text.substr(digits, after - digits), nullptr, 16), {}};
    // The record runs up to the blank line the log leaves after it.
    const std::size_t begin = after + SUFFIX.size();
    const std::size_t blank = text.find("\n\n", begin);
    const std::string_view record =
        std::string_view(text).substr(begin, blank == std::string::npos ? blank : blank - begin);
    for (const testing::TraceEntry& entry : testing::traceEntriesIn(record)) {
      // An inlined call adds an entry at the same address; it is the same recorded address.
      if (report.record.empty() || report.record.back() != entry.address) {
        report.record.push_back(entry.address);
      }
    }
    leaks.push_back(report);
  }
  return leaks;
}

std::uint64_t errorsLogged() {
  return log_err_count.load();
}

// Every test starts on a fresh instance and must leave it clean unless it says otherwise.
class CheckingAllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("NO_COLOR", "1", 1);  // reports are parsed as plain text whatever the shell says
    checkingAllocatorInit();
  }

  Allocator gpa_ = testingAllocator();
};

std::uint8_t readByte(const void* p) {
  return *static_cast<const volatile std::uint8_t*>(p);
}

bool allBytesAre(const void* p, std::size_t len, std::uint8_t value) {
  for (std::size_t i = 0; i < len; ++i) {
    if (readByte(static_cast<const std::byte*>(p) + i) != value) return false;
  }
  return true;
}

TEST_F(CheckingAllocatorTest, ReleasingEveryBlockOfEverySizeLeavesNothingToReport) {
  const std::uint64_t errors = errorsLogged();
  std::vector<std::span<std::byte>> blocks;
  for (std::size_t len : {0, 1, 2, 3, 24, 100, 512, 2047, 2048, 2049, 4096, 100000}) {
    auto block = gpa_.allocate<std::byte>(len);
    ASSERT_TRUE(block.has_value()) << len;
    std::memset(block->data(), 0x5C, len);
    blocks.push_back(*block);
  }
  for (auto block : blocks)
    gpa_.release(block);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
  EXPECT_EQ(errorsLogged(), errors);
}

TEST_F(CheckingAllocatorTest, BlocksAreDistinctAlignedAndDoNotOverlap) {
  struct Block {
    std::uintptr_t begin;
    std::size_t len;
    std::uint8_t log2_align;
  };
  std::vector<Block> blocks;
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const std::size_t len = std::uniform_int_distribution<std::size_t>(0, 3000)(rng);
    const auto log2_align = static_cast<std::uint8_t>(rng() % 13);  // up to 4096
    void* p = gpa_.vtable->alloc(gpa_.ptr, len, log2_align, 0);
    ASSERT_NE(p, nullptr);
    blocks.push_back({reinterpret_cast<std::uintptr_t>(p), len, log2_align});
  }
  // A huge alignment for a large block is honoured by trimming an over-sized mapping.
  void* big = gpa_.vtable->alloc(gpa_.ptr, 10000, 16, 0);
  ASSERT_NE(big, nullptr);
  blocks.push_back({reinterpret_cast<std::uintptr_t>(big), 10000, 16});

  for (const Block& b : blocks) {
    EXPECT_EQ(b.begin % (std::uintptr_t{1} << b.log2_align), 0u);
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const Block& a, const Block& b) { return a.begin < b.begin; });
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    // Zero-length blocks still own a byte, so no two blocks share an address.
    EXPECT_GE(blocks[i].begin, blocks[i - 1].begin + std::max<std::size_t>(blocks[i - 1].len, 1));
  }
  for (const Block& b : blocks) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the addresses were recorded as integers
    gpa_.vtable->free(gpa_.ptr, {reinterpret_cast<std::byte*>(b.begin), b.len}, b.log2_align, 0);
  }
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, AlignmentsNoMappingCanHonourAreRefused) {
  EXPECT_EQ(gpa_.vtable->alloc(gpa_.ptr, 16, 60, 0), nullptr);
  EXPECT_EQ(gpa_.vtable->alloc(gpa_.ptr, SIZE_MAX - 100, 0, 0), nullptr);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, AStaleReadOfAFreedSmallBlockSeesThePoisonPattern) {
  auto block = *gpa_.allocate<std::uint8_t>(100);
  std::memset(block.data(), 0x11, block.size());
  gpa_.release(block);
  // The whole 128-byte slot is poisoned, not just the bytes that were asked for.
  EXPECT_TRUE(allBytesAre(block.data(), 128, 0xAA));
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, ShrinkingInPlacePoisonsOnlyTheCutOffTail) {
  auto block = *gpa_.allocate<std::uint8_t>(100);
  std::memset(block.data(), 0x11, block.size());
  ASSERT_TRUE(gpa_.resizeInPlace(block, 40));
  EXPECT_TRUE(allBytesAre(block.data(), 40, 0x11));
  EXPECT_TRUE(allBytesAre(block.data() + 40, 60, 0xAA));
  // Growing stays in place up to the slot's size class (128 bytes), never beyond it.
  EXPECT_TRUE(gpa_.resizeInPlace(block.first(40), 128));
  EXPECT_FALSE(gpa_.resizeInPlace(block.first(128), 129));
  gpa_.release(block.first(128));

  auto large = *gpa_.allocate<std::uint8_t>(10000);  // three pages mapped
  std::memset(large.data(), 0x22, large.size());
  ASSERT_TRUE(gpa_.resizeInPlace(large, 5000));
  EXPECT_TRUE(allBytesAre(large.data(), 5000, 0x22));
  EXPECT_TRUE(allBytesAre(large.data() + 5000, 5000, 0xAA));
  constexpr std::size_t THREE_PAGES = 3 * std::size_t{4096};
  EXPECT_TRUE(gpa_.resizeInPlace(large.first(5000), THREE_PAGES));
  EXPECT_FALSE(gpa_.resizeInPlace(large.first(THREE_PAGES), THREE_PAGES + 1));
  gpa_.release(large.first(THREE_PAGES));
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

[[gnu::noinline]] void* allocateHere(std::size_t len, std::uintptr_t& call_site) {
  call_site = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const Allocator gpa = testingAllocator();
  return gpa.vtable->alloc(gpa.ptr, len, 0, call_site);
}

TEST_F(CheckingAllocatorTest, AKeptBlockIsReportedOnceWithItsAllocatingCallerFirst) {
  std::uintptr_t call_site = 0;
  void* kept = allocateHere(24, call_site);
  auto freed = *gpa_.allocate<std::byte>(24);
  gpa_.release(freed);
  const std::uint64_t errors = errorsLogged();
  StderrCapture capture;
  EXPECT_EQ(checkingAllocatorDeinit(), Check::leak);
  const std::string report = capture.take();

  EXPECT_EQ(errorsLogged(), errors + 1);
  const std::vector<LeakReport> leaks = parseLeaks(report);
  ASSERT_EQ(leaks.size(), 1u) << report;
  EXPECT_EQ(leaks[0].address, reinterpret_cast<std::uintptr_t>(kept));
  // The allocator's own frames are skipped: the record starts where the allocation was asked
  // for and goes on up the stack, ten return addresses at most.
  ASSERT_GE(leaks[0].record.size(), 2u) << report;
  EXPECT_LE(leaks[0].record.size(), 10u);
  // Symbolisation may show a return address one byte back, inside the call it returns from.
  EXPECT_THAT(leaks[0].record[0], ::testing::AnyOf(call_site, call_site - 1));
  EXPECT_TRUE(report.starts_with("[gpa] (err): memory address 0x")) << report;
  EXPECT_TRUE(report.ends_with("\n\n")) << report;
}

TEST_F(CheckingAllocatorTest, LeaksAreReportedBySizeClassThenPageThenSlotThenTheLargeOnes) {
  // Interleaved so that neither the allocation order nor the mapping order is the report order:
  // the 2048-byte class spans twenty pages, taken from more than one mapped chunk.
  std::vector<std::uintptr_t> by_class[12];
  std::vector<std::uintptr_t> large;
  for (int i = 0; i < 40; ++i) {
    by_class[11].push_back(
        reinterpret_cast<std::uintptr_t>(gpa_.allocate<std::byte>(2000)->data()));
    if (i % 4 == 0) {
      large.push_back(reinterpret_cast<std::uintptr_t>(gpa_.allocate<std::byte>(9000)->data()));
      by_class[0].push_back(reinterpret_cast<std::uintptr_t>(gpa_.allocate<std::byte>(0)->data()));
    }
    by_class[4].push_back(reinterpret_cast<std::uintptr_t>(gpa_.allocate<std::byte>(9)->data()));
  }
  std::vector<std::uintptr_t> expected_small;
  for (auto& addresses : by_class) {
    std::sort(addresses.begin(), addresses.end());
    expected_small.insert(expected_small.end(), addresses.begin(), addresses.end());
  }

  StderrCapture capture;
  EXPECT_EQ(checkingAllocatorDeinit(), Check::leak);
  const std::vector<LeakReport> leaks = parseLeaks(capture.take());
  ASSERT_EQ(leaks.size(), expected_small.size() + large.size());
  std::vector<std::uintptr_t> reported;
  reported.reserve(leaks.size());
  for (const LeakReport& leak : leaks)
    reported.push_back(leak.address);
  const auto small_end = reported.begin() + static_cast<std::ptrdiff_t>(expected_small.size());
  const std::vector<std::uintptr_t> reported_small(reported.begin(), small_end);
  EXPECT_EQ(reported_small, expected_small);
  std::vector<std::uintptr_t> reported_large(small_end, reported.end());
  std::sort(reported_large.begin(), reported_large.end());
  std::sort(large.begin(), large.end());
  EXPECT_EQ(reported_large, large);
}

TEST_F(CheckingAllocatorTest, LeakedBlocksStayReadableAfterTheInstanceIsReleased) {
  auto kept = *gpa_.allocate<std::uint8_t>(300);
  auto kept_large = *gpa_.allocate<std::uint8_t>(20000);
  std::memset(kept.data(), 0x33, kept.size());
  std::memset(kept_large.data(), 0x44, kept_large.size());
  {
    StderrCapture quiet;
    EXPECT_EQ(checkingAllocatorDeinit(), Check::leak);
  }
  EXPECT_TRUE(allBytesAre(kept.data(), kept.size(), 0x33));
  EXPECT_TRUE(allBytesAre(kept_large.data(), kept_large.size(), 0x44));
}

TEST_F(CheckingAllocatorTest, FreeWithTheWrongLengthAndAlignmentLogsBothAndFreesTheBlock) {
  auto block = *gpa_.allocate<std::uint64_t>(3);
  const std::uint64_t errors = errorsLogged();
  StderrCapture capture;
  gpa_.vtable->free(gpa_.ptr, std::as_writable_bytes(block).first(16), 2, 0);
  const std::string report = capture.take();
  EXPECT_EQ(errorsLogged(), errors + 2);
  EXPECT_THAT(report, HasSubstr("[gpa] (err): Allocation size 24 bytes does not match free size "
                                "16. Allocation: \n"));
  EXPECT_THAT(report, HasSubstr("[gpa] (err): Allocation alignment 8 does not match free "
                                "alignment 4. Allocation: \n"));
  EXPECT_TRUE(allBytesAre(block.data(), 24, 0xAA));
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, ResizeWithTheWrongAlignmentIsLoggedAndStillResizes) {
  auto block = *gpa_.allocate<std::uint32_t>(4);
  const std::uint64_t errors = errorsLogged();
  StderrCapture capture;
  EXPECT_TRUE(gpa_.vtable->resize(gpa_.ptr, std::as_writable_bytes(block), 0, 8, 0));
  const std::string report = capture.take();
  EXPECT_EQ(errorsLogged(), errors + 1);
  EXPECT_THAT(report, HasSubstr("Allocation alignment 4 does not match resize alignment 1. "
                                "Allocation: \n"));
  EXPECT_THAT(report, HasSubstr(" Resize: \n"));
  gpa_.release(block.first(2));
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, ALargeResizeWithTheWrongLengthUsesTheFreeSizeWordsAndGoesOn) {
  auto block = *gpa_.allocate<std::byte>(6000);
  StderrCapture capture;
  EXPECT_TRUE(gpa_.resizeInPlace(block.first(5000), 7000));
  EXPECT_THAT(capture.take(), HasSubstr("Allocation size 6000 bytes does not match free size "
                                        "5000. Allocation: \n"));
  gpa_.release(std::span<std::byte>(block.data(), 7000));
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, ADoubleFreeIsLoggedOnceAndChangesNothingElse) {
  auto block = *gpa_.allocate<std::byte>(0);  // zero-length blocks are checked like any other
  auto neighbour = *gpa_.allocate<std::byte>(1);
  neighbour[0] = std::byte{0x5A};
  gpa_.release(block);
  const std::uint64_t errors = errorsLogged();
  StderrCapture capture;
  gpa_.release(block);
  const std::string report = capture.take();
  EXPECT_EQ(errorsLogged(), errors + 1);
  EXPECT_TRUE(report.starts_with("[gpa] (err): Double free detected. Allocation: \n")) << report;
  EXPECT_THAT(report, HasSubstr(" First free: \n"));
  EXPECT_THAT(report, HasSubstr(" Second free: \n"));
  EXPECT_EQ(readByte(neighbour.data()), 0x5A);
  gpa_.release(neighbour);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, ReleasingAnInstanceTwiceOrUnusedFindsNothing) {
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, ManyThreadsAllocatingAndFreeingAtOnceLoseNothing) {
  const std::uint64_t errors = errorsLogged();
  std::vector<std::thread> threads;
  threads.reserve(4);
  std::atomic<int> corrupted{0};
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([t, &corrupted] {
      const Allocator a = testingAllocator();
      std::mt19937 rng(t);
      std::vector<std::span<std::uint8_t>> live;
      for (int i = 0; i < 20000; ++i) {
        if (live.size() < 64 && (live.empty() || rng() % 2 == 0)) {
          const std::size_t len = rng() % 8 == 0 ? 2049 + rng() % 10000 : rng() % 300;
          auto block = a.allocate<std::uint8_t>(len);
          if (!block) continue;
          std::memset(block->data(), static_cast<int>(t + 1), len);
          live.push_back(*block);
        } else {
          const std::size_t k = rng() % live.size();
          if (!allBytesAre(live[k].data(), live[k].size(), static_cast<std::uint8_t>(t + 1))) {
            ++corrupted;
          }
          a.release(live[k]);
          live[k] = live.back();
          live.pop_back();
        }
      }
      for (auto block : live)
        a.release(block);
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(corrupted.load(), 0);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
  EXPECT_EQ(errorsLogged(), errors);
}

using CheckingAllocatorDeathTest = CheckingAllocatorTest;

TEST_F(CheckingAllocatorDeathTest, FreeingWhatWasNeverHandedOutStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::byte on_stack[16];
  EXPECT_DEATH(gpa_.release(std::span<std::byte>(on_stack)), "panic: Invalid free");
  auto block = *gpa_.allocate<std::byte>(32);
  // Inside a slot, or in the part of a page not yet carved into blocks.
  EXPECT_DEATH(gpa_.release(block.subspan(8)), "panic: Invalid free");
  EXPECT_DEATH(gpa_.release(std::span<std::byte>(block.data() + 64, 32)), "panic: Invalid free");
  auto large = *gpa_.allocate<std::byte>(8192);
  EXPECT_DEATH(gpa_.release(large.subspan(4096)), "panic: Invalid free");
  EXPECT_DEATH((void)gpa_.resizeInPlace(large.subspan(4096), 10), "panic: Invalid free");
  gpa_.release(large);
  EXPECT_DEATH(gpa_.release(large), "panic: Invalid free");
  gpa_.release(block);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorDeathTest, ABlockOfAnEarlierInstanceIsNotHeldByTheNextOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto kept = *gpa_.allocate<std::byte>(24);
  {
    StderrCapture quiet;
    EXPECT_EQ(checkingAllocatorDeinit(), Check::leak);
  }
  checkingAllocatorInit();
  EXPECT_DEATH(gpa_.release(kept), "panic: Invalid free");
}

TEST_F(CheckingAllocatorDeathTest, ResizingAFreedBlockReportsTheDoubleFreeThenStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto block = *gpa_.allocate<std::byte>(24);
  gpa_.release(block);
  EXPECT_DEATH((void)gpa_.resizeInPlace(block, 8),
               "Double free detected\\. Allocation: .*panic: Unrecoverable double free");
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

// ---------------------------------------------------------------------------------------------
// The quarantine

// A fresh instance whose quarantine holds `bytes` (the environment variable read at its start).
void initWithQuarantine(const char* bytes) {
  ::setenv("VESK_QUARANTINE_BYTES", bytes, 1);
  checkingAllocatorInit();
  ::unsetenv("VESK_QUARANTINE_BYTES");
}

TEST_F(CheckingAllocatorTest, AFreedSlotStaysOutOfUseUntilTheQuarantineBoundThenComesBack) {
  // 100 freed 32-byte slots, each counted with its 32 bytes of bookkeeping.
  initWithQuarantine("6400");
  std::vector<std::uintptr_t> addresses;
  for (int i = 0; i < 5000; ++i) {
    auto block = *gpa_.allocate<std::byte>(24);
    addresses.push_back(reinterpret_cast<std::uintptr_t>(block.data()));
    gpa_.release(block);
  }
  for (std::size_t i = 100; i < addresses.size(); ++i) {
    const auto recent = addresses.begin() + static_cast<std::ptrdiff_t>(i);
    ASSERT_EQ(std::find(recent - 99, recent, addresses[i]), recent) << "reused too soon: " << i;
  }
  std::sort(addresses.begin(), addresses.end());
  const auto distinct = std::unique(addresses.begin(), addresses.end()) - addresses.begin();
  EXPECT_GE(distinct, 100);
  EXPECT_LE(distinct, 102);  // memory bounded by the quarantine, not by the number of pairs
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);

  initWithQuarantine("0");
  auto first = *gpa_.allocate<std::byte>(24);
  gpa_.release(first);
  EXPECT_EQ(gpa_.allocate<std::byte>(24)->data(), first.data());
  gpa_.release(first);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);

  StderrCapture capture;
  initWithQuarantine("lots");
  EXPECT_EQ(capture.take(),
            "[gpa] (warn): ignoring VESK_QUARANTINE_BYTES='lots': not a number of bytes; the "
            "quarantine holds 16777216\n");
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorTest, ASecondFreeIsCaughtAfterTheQuarantineAndAfterTheSlotWasReused) {
  initWithQuarantine("640");  // 10 slots of 32 bytes
  const std::uint64_t errors = errorsLogged();
  auto early = *gpa_.allocate<std::byte>(24);
  gpa_.release(early);
  // Twenty frees push it out of the quarantine; no allocation comes after them to reuse it.
  std::vector<std::span<std::byte>> others;
  others.reserve(20);
  for (int i = 0; i < 20; ++i)
    others.push_back(*gpa_.allocate<std::byte>(24));
  for (auto block : others)
    gpa_.release(block);
  {
    // Out of the quarantine, not yet handed out again: its records are still there.
    StderrCapture capture;
    gpa_.release(early);
    EXPECT_THAT(capture.take(), HasSubstr("Double free detected. Allocation: \n"));
  }
  EXPECT_EQ(errorsLogged(), errors + 1);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);

  // Reused: the stale free frees the new owner's block, whose own free is then the double one,
  // its first free naming the stale one.
  initWithQuarantine("0");
  auto stale = *gpa_.allocate<std::byte>(24);
  gpa_.release(stale);
  auto owner = *gpa_.allocate<std::byte>(24);
  ASSERT_EQ(owner.data(), stale.data());
  gpa_.release(stale);
  EXPECT_TRUE(allBytesAre(owner.data(), 32, 0xAA));
  StderrCapture capture;
  gpa_.release(owner);
  EXPECT_THAT(capture.take(), HasSubstr("Double free detected. Allocation: \n"));
  EXPECT_EQ(errorsLogged(), errors + 2);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST_F(CheckingAllocatorDeathTest, RunningOutOfMemoryIsToldWithTheCountOfLiveAllocations) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto fill_under_a_limit = [this] {
    // Room for a few hundred more mebibytes of address space, then blocks until none is left.
    const rlimit limit{rlim_t{512} << 20, RLIM_INFINITY};
    std::size_t made = 0;
    std::string told;
    {
      StderrCapture capture;
      if (::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
      while (gpa_.allocate<std::byte>(1000).has_value())
        ++made;
      told = capture.take();
    }
    const std::string expected = "[gpa] (warn): checking allocator: out of memory after " +
                                 std::to_string(made) + " live allocations\n";
    std::_Exit(made > 1000 && told == expected ? 0 : 1);
  };
  EXPECT_EXIT(fill_under_a_limit(), ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------------
// The failing allocator

TEST(FailingAllocator, FailsFromTheChosenCallOnOrOnlyThatCallAndCountsEveryOne) {
  checkingAllocatorInit();
  FailingAllocator from_then_on(testingAllocator(), {.fail_index = 2});
  FailingAllocator just_once(testingAllocator(), {.fail_index = 1, .fail_once = true});
  for (auto [failing, expected] :
       {std::pair{&from_then_on, std::vector<bool>{true, true, false, false}},
        std::pair{&just_once, std::vector<bool>{true, false, true, true}}}) {
    std::vector<bool> outcomes;
    std::vector<std::span<std::byte>> blocks;
    for (int i = 0; i < 4; ++i) {
      auto block = failing->allocator().allocate<std::byte>(16);
      outcomes.push_back(block.has_value());
      if (block) blocks.push_back(*block);
    }
    EXPECT_EQ(outcomes, expected);
    EXPECT_EQ(failing->allocCalls(), 4u);
    EXPECT_EQ(failing->liveAllocations(), blocks.size());
    EXPECT_EQ(failing->liveBytes(), 16 * blocks.size());
    for (auto block : blocks)
      failing->allocator().release(block);
    EXPECT_EQ(failing->frees(), blocks.size());
    EXPECT_EQ(failing->liveAllocations(), 0u);
  }
  EXPECT_EQ(from_then_on.failedAllocs(), 2u);
  EXPECT_EQ(just_once.failedAllocs(), 1u);
  EXPECT_TRUE(from_then_on.failingNow());
  EXPECT_FALSE(just_once.failingNow());
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

// ---------------------------------------------------------------------------------------------
// The standard-library adapter

TEST(StdAllocator, ContainersReturnEveryBlockTheyTookAndOutOfMemoryThrowsBadAlloc) {
  checkingAllocatorInit();
  FailingAllocator failing(testingAllocator(), {.fail_index = 3});
  {
    // The map rebinds the allocator to its node type; the copy still allocates through `failing`.
    const StdAllocator<std::pair<const int, int>> pairs(failing.allocator());
    std::map<int, int, std::less<>, StdAllocator<std::pair<const int, int>>> map(pairs);
    EXPECT_TRUE(map.get_allocator() == StdAllocator<double>(failing.allocator()));
    EXPECT_FALSE(map.get_allocator() == StdAllocator<double>(mallocAllocator()));
    for (int i = 0; i < 3; ++i)
      map.emplace(i, i);
    EXPECT_EQ(failing.liveAllocations(), 3u);
    EXPECT_THROW(map.emplace(3, 3), std::bad_alloc);
    EXPECT_EQ(map.size(), 3u);
    EXPECT_THROW((void)StdAllocator<std::uint64_t>(failing.allocator()).allocate(SIZE_MAX / 4),
                 std::bad_array_new_length);
  }
  EXPECT_EQ(failing.liveAllocations(), 0u);
  EXPECT_EQ(failing.liveBytes(), 0u);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST(FailingAllocator, RefusesToGrowInPlaceWhenAskedOrWhileFailing) {
  checkingAllocatorInit();
  FailingAllocator failing(testingAllocator(), {.refuse_growth_in_place = true});
  const Allocator a = failing.allocator();
  auto block = *a.allocate<std::byte>(10);
  EXPECT_FALSE(a.resizeInPlace(block, 12));
  EXPECT_TRUE(a.resizeInPlace(block, 4));
  EXPECT_EQ(failing.liveBytes(), 4u);
  failing.setPlan({.fail_index = 0});
  EXPECT_FALSE(a.resizeInPlace(block.first(4), 8));
  failing.setPlan({});
  EXPECT_TRUE(a.resizeInPlace(block.first(4), 8));
  a.release(block.first(8));
  EXPECT_EQ(failing.liveBytes(), 0u);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

// ---------------------------------------------------------------------------------------------
// The growable array

std::vector<std::uint32_t> contents(const ArrayList<std::uint32_t>& list) {
  return {list.begin(), list.end()};
}

TEST(ArrayList, KeepsItsContentsThroughGrowthInPlaceAndMovesToNewBlocks) {
  checkingAllocatorInit();
  auto list = ArrayList<std::uint8_t>::init(testingAllocator());
  int grown_in_place = 0;
  int moved = 0;
  // Up to 3000 bytes: through every small size class and into a mapped block of its own.
  for (std::size_t i = 0; i < 3000; ++i) {
    const std::size_t capacity = list.capacity();
    const std::uint8_t* data = list.begin();
    ASSERT_TRUE(list.append(static_cast<std::uint8_t>(i * 7)).has_value());
    if (list.capacity() != capacity && data != nullptr)
      ++(list.begin() == data ? grown_in_place : moved);
  }
  EXPECT_GT(grown_in_place, 0);
  EXPECT_GT(moved, 0);
  ASSERT_EQ(list.size(), 3000u);
  for (std::size_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(list[i], static_cast<std::uint8_t>(i * 7)) << i;
  }
  list.deinit();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST(ArrayList, MovesEveryTimeWhenGrowingInPlaceIsRefusedAndFreesTheOldBlocks) {
  checkingAllocatorInit();
  FailingAllocator failing(testingAllocator(), {.refuse_growth_in_place = true});
  auto list = ArrayList<std::uint32_t>::init(failing.allocator());
  std::vector<std::uint32_t> expected;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    const std::uint32_t* before = list.begin();
    const std::size_t capacity = list.capacity();
    ASSERT_TRUE(list.append(i * i).has_value());
    expected.push_back(i * i);
    if (capacity != list.capacity() && before != nullptr) {
      EXPECT_NE(list.begin(), before);
      // What the array left behind was freed: a stale read of a small block sees the poison
      // pattern (a large one is unmapped, so it cannot be read at all).
      if (capacity * sizeof(std::uint32_t) <= 2048) {
        EXPECT_EQ(readByte(before), 0xAA);
      }
    }
    ASSERT_EQ(failing.liveAllocations(), 1u);
  }
  EXPECT_EQ(contents(list), expected);
  list.deinit();
  EXPECT_EQ(failing.liveAllocations(), 0u);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST(ArrayList, CreatingOneAllocatesNothingAndReservedRoomIsUsedWithoutAllocating) {
  checkingAllocatorInit();
  FailingAllocator counting(testingAllocator());
  auto list = ArrayList<std::uint32_t>::init(counting.allocator());
  EXPECT_EQ(counting.allocCalls(), 0u);
  ASSERT_TRUE(list.ensureTotalCapacity(100).has_value());
  EXPECT_GE(list.capacity(), 100u);
  const std::size_t calls = counting.allocCalls();
  for (std::uint32_t i = 0; i < 100; ++i)
    ASSERT_TRUE(list.append(i).has_value());
  EXPECT_EQ(counting.allocCalls(), calls);
  list.deinit();
  list.deinit();  // an emptied array has nothing left to free
  EXPECT_EQ(counting.frees(), 1u);
  EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
}

TEST(ArrayList, AnAppendThatCannotGetMemoryReturnsOutOfMemoryAndChangesNothing) {
  for (std::size_t fail_index = 0; fail_index < 6; ++fail_index) {
    SCOPED_TRACE(fail_index);
    checkingAllocatorInit();
    FailingAllocator failing(testingAllocator(),
                             {.fail_index = fail_index, .refuse_growth_in_place = true});
    auto list = ArrayList<std::uint32_t>::init(failing.allocator());
    Result<void> appended;
    std::uint32_t next = 0;
    while ((appended = list.append(next)).has_value())
      ++next;
    EXPECT_EQ(appended.error(), Error::OutOfMemory);

    const std::vector<std::uint32_t> before = contents(list);
    const std::uint32_t* data = list.begin();
    const std::size_t capacity = list.capacity();
    EXPECT_EQ(before.size(), next);
    EXPECT_FALSE(list.append(next).has_value());
    EXPECT_FALSE(list.ensureTotalCapacity(capacity + 1).has_value());
    EXPECT_EQ(contents(list), before);
    EXPECT_EQ(list.begin(), data);
    EXPECT_EQ(list.capacity(), capacity);
    for (std::uint32_t i = 0; i < next; ++i)
      EXPECT_EQ(before[i], i);

    list.deinit();
    EXPECT_EQ(failing.liveAllocations(), 0u);
    EXPECT_EQ(checkingAllocatorDeinit(), Check::ok);
  }
}

}  // namespace
}  // namespace vesk
