// Stop and fault reports at the worst moment, end to end: the locked_allocator fixture faults or
// stops inside an allocator whose lock the report would need for source locations. Each report
// must still end by the abort signal, with its first line and one entry per frame.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <string>

#include "run_process.hpp"
#include "trace_entry.hpp"

namespace vesk::testing {
namespace {

const std::string FIXTURE = VESK_FIXTURE_DIR "/locked_allocator";

ProcessResult runScenario(const std::string& scenario) {
  ProcessOptions options;
  options.set_env = {"VESK_CRASH_SCENARIO=" + scenario};
  options.time_limit_ms = 10000;  // far beyond the report's bound; a hang fails, not blocks
  return runProcess(FIXTURE, options);
}

// The frames of a report: consecutive entries with one address are a frame and its inlined calls.
std::size_t framesIn(const std::string& report) {
  std::size_t frames = 0;
  std::uint64_t previous = 0;
  for (const TraceEntry& entry : traceEntriesIn(report)) {
    if (entry.address != previous) ++frames;
    previous = entry.address;
  }
  return frames;
}

// Runs `stuck`, whose report cannot get at the allocator, and `twin`, the same with the allocator
// free, whose report is symbolised. The stuck one must end by the abort signal with `header` and
// one unsymbolised entry for each frame of the twin.
void expectUnsymbolisedReport(const std::string& stuck, const std::string& twin,
                              const std::string& header) {
  SCOPED_TRACE(stuck);
  const ProcessResult symbolised = runScenario(twin);
  ASSERT_EQ(symbolised.signal, SIGABRT) << symbolised.err;
  const std::size_t frames = framesIn(symbolised.err);
  ASSERT_GE(frames, 3u) << symbolised.err;

  const ProcessResult run = runScenario(stuck);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, SIGABRT);
  std::string expected = header;
  for (std::size_t i = 0; i < frames; ++i)
    expected += "?\?\?:?:?: 0x? in ?\?\? (?\?\?)\n";
  EXPECT_EQ(maskVarying(run.err), expected);
}

TEST(CrashReport, AFaultWhileTheAllocatorIsLockedEndsWithUnsymbolisedEntries) {
  expectUnsymbolisedReport(
      "fault-locked", "fault",
      "1/1 crash.fault inside the allocator...Segmentation fault at address 0x?\n");
  // Where the C library's allocator takes its lock: once a second thread exists.
  expectUnsymbolisedReport(
      "thread-fault-locked", "thread-fault",
      "1/1 crash.fault on a second thread...Segmentation fault at address 0x?\n");
}

TEST(CrashReport, AStopWhileTheAllocatorIsLockedEndsWithUnsymbolisedEntries) {
  expectUnsymbolisedReport(
      "stop-locked", "stop",
      "1/1 crash.stop inside the allocator...thread ? panic: integer overflow\n");
}

TEST(CrashReport, AFaultInsideTheReportItselfFinishesItUnsymbolised) {
  // Every allocation faults from then on, the report's own first one included.
  expectUnsymbolisedReport(
      "nested", "fault",
      "1/1 crash.fault inside the allocator...Segmentation fault at address 0x?\n");
}

TEST(CrashReport, AReportStuckHalfwayKeepsWhatIsOutAndFinishesTheRestUnsymbolised) {
  const std::string symbolised = runScenario("fault").err;
  const ProcessResult run = runScenario("fault-stuck-halfway");
  EXPECT_EQ(run.signal, SIGABRT);
  // Stuck reading the harness's source: the entries before its first one are out as they were,
  // each frame from there on follows once, unsymbolised.
  const std::size_t harness_entry =
      symbolised.rfind('\n', symbolised.find("/runner/run_case.cpp:")) + 1;
  ASSERT_NE(harness_entry, 0u) << symbolised;
  const std::string before = symbolised.substr(0, harness_entry);
  std::string expected = maskVarying(before);
  for (std::size_t i = framesIn(before); i < framesIn(symbolised); ++i)
    expected += "?\?\?:?:?: 0x? in ?\?\? (?\?\?)\n";
  EXPECT_EQ(maskVarying(run.err), expected);
}

}  // namespace
}  // namespace vesk::testing
