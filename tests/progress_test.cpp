// The progress formatter on strings: drawn lines (connectors, counts, truncation by display
// columns, line and buffer limits) and the frames sent to a parent process, read back by a decoder
// written here from the documented layout. Then the display itself in-process, on a clock the
// test drives: what it writes to a terminal or a parent, and exactly when.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "progress_display.hpp"
#include "progress_format.hpp"
#include "progress_frames.hpp"
#include "stderr_lock.hpp"

namespace vesk {
namespace {

using testing::codePoints;
using testing::DecodedNode;
using testing::decodeFrames;

constexpr std::uint32_t NONE = PROGRESS_NO_PARENT;

std::string lines(const std::vector<ProgressEntry>& entries, std::size_t columns = 200,
                  std::size_t max_lines = 100, std::size_t buffer = 4096) {
  std::vector<char> out(buffer);
  const ProgressText text = formatProgressLines(entries, columns, max_lines, out);
  EXPECT_LE(text.size, buffer);
  std::string s(out.data(), text.size);
  EXPECT_EQ(static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')), text.lines);
  return s;
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) {
    out.push_back(s.substr(start, nl - start));
  }
  EXPECT_EQ(start, s.size()) << "text does not end with a whole line";
  return out;
}

TEST(ProgressLines, ShowTheRootCountOverItsEstimateAndTheRunningCaseUnderIt) {
  const std::string case_name = "vesk_kernel.test.PGL4: normalizeDet → det ≈ 1";
  EXPECT_EQ(lines({{NONE, 12, 36, "Test"}, {0, 0, 0, case_name}}),
            "[12/36] Test\n└─ " + case_name + "\n");
}

TEST(ProgressLines, ShowABareCountOnlyWhenThereIsNoEstimateButSomethingEnded) {
  EXPECT_EQ(lines({{NONE, 0, 36, "Test"}}), "[0/36] Test\n");
  EXPECT_EQ(lines({{NONE, 3, 0, "Test"}}), "[3] Test\n");
  EXPECT_EQ(lines({{NONE, 0, 0, "Test"}}), "Test\n");
  EXPECT_EQ(lines({{NONE, 18446744073709551615u, 1, "big"}}), "[18446744073709551615/1] big\n");
}

TEST(ProgressLines, ConnectorsContinueOnlyWhileAnAncestorHasLaterSiblings) {
  const std::vector<ProgressEntry> tree = {
      {NONE, 0, 0, "root"}, {0, 0, 0, "a"}, {1, 0, 0, "a1"}, {2, 0, 0, "a1x"},
      {1, 0, 0, "a2"},      {0, 1, 0, "b"}, {5, 0, 0, "b1"},
  };
  EXPECT_EQ(lines(tree),
            "root\n"
            "├─ a\n"
            "│  ├─ a1\n"
            "│  │  └─ a1x\n"
            "│  └─ a2\n"
            "└─ [1] b\n"
            "   └─ b1\n");
}

TEST(ProgressLines, APointerThatDoesNotPointBackwardsIsDrawnAsARoot) {
  // A malformed snapshot must not send the connector walk out of bounds or into a loop.
  EXPECT_EQ(lines({{NONE, 0, 0, "root"}, {5, 0, 0, "stray"}, {1, 0, 0, "self"}}),
            "root\nstray\n└─ self\n");
}

TEST(ProgressLines, LongNamesAreCutByCodePointsNotBytes) {
  const std::string name = "PGL4: normalizeDet → det ≈ 1";
  // "└─ " and "PGL4: normalizeDet →" are 3 + 20 code points but 7 + 22 bytes: a cut by bytes
  // would stop early or split "→".
  EXPECT_EQ(lines({{NONE, 0, 0, "T"}, {0, 0, 0, name}}, 23), "T\n└─ PGL4: normalizeDet →\n");
  EXPECT_EQ(lines({{NONE, 0, 0, "T"}, {0, 0, 0, name}}, 22), "T\n└─ PGL4: normalizeDet \n");
  // The count prefix and the connectors take columns too.
  EXPECT_EQ(lines({{NONE, 12, 36, "Test"}}, 9), "[12/36] T\n");
  EXPECT_EQ(lines({{NONE, 0, 0, "T"}, {0, 0, 0, "abc"}}, 2), "T\n└─\n");
  EXPECT_EQ(lines({{NONE, 0, 0, "Test"}}, 0), "\n");
}

TEST(ProgressLines, EveryLineFitsAnyWidthAndIsAPrefixOfTheUncutLine) {
  const std::vector<ProgressEntry> tree = {
      {NONE, 7, 36, "Test"},
      {0, 0, 0, "vesk_kernel.test.Projector Π_Λ is idempotent: Π² = Π"},
      {1, 2, 5, "Resonance J = A − Aᵀ is antisymmetric"},
      {0, 0, 0, "vesk_kernel.test.Deformed tensor product: ε=0 is standard mul"},
  };
  const std::vector<std::string> full = split(lines(tree));
  ASSERT_EQ(full.size(), tree.size());
  for (std::size_t columns = 0; columns < 80; ++columns) {
    const std::vector<std::string> cut = split(lines(tree, columns));
    ASSERT_EQ(cut.size(), full.size());
    for (std::size_t i = 0; i < cut.size(); ++i) {
      EXPECT_EQ(codePoints(cut[i]), std::min(columns, codePoints(full[i])))
          << "width " << columns << ", line " << i;
      EXPECT_EQ(full[i].rfind(cut[i], 0), 0u) << "width " << columns << ", line " << i;
    }
  }
}

TEST(ProgressLines, ControlCharactersInANameCannotBreakTheLineOrEscape) {
  EXPECT_EQ(lines({{NONE, 0, 0, "a\nb\x1b[2J\r\x7f"}}), "a?b?[2J??\n");
  // U+009B is a one-character escape introducer on some terminals.
  EXPECT_EQ(lines({{NONE, 0, 0,
                    "x\xc2\x9b"
                    "1Ay\xc2\xa0z"}}),
            "x?1Ay\xc2\xa0z\n");
}

TEST(ProgressLines, WideCharactersTakeTwoColumnsCombiningMarksNoneAndBrokenBytesOne) {
  // 中, Ａ and 😀 are wide; the acute accent and the zero-width space take no column.
  const std::string name = "中Ａe\u0301\u200b😀x";
  EXPECT_EQ(lines({{NONE, 0, 0, name}}, 8), name + "\n");
  EXPECT_EQ(lines({{NONE, 0, 0, name}}, 7), "中Ａe\u0301\u200b😀\n");
  // A wide character that would straddle the last column is left out, with everything after it
  // ("x" would fit), and so is the accent of a character left out.
  EXPECT_EQ(lines({{NONE, 0, 0, name}}, 6), "中Ａe\u0301\u200b\n");
  EXPECT_EQ(lines({{NONE, 0, 0, "aＡ\u0301"}}, 2), "a\n");
  // A sequence cut short, a stray continuation byte, an overlong form, a surrogate: U+FFFD a byte.
  EXPECT_EQ(lines({{NONE, 0, 0, "\xe2\x86z\x80\xc0\xaf\xed\xa0\x80"}}),
            "\uFFFD\uFFFDz\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\n");
}

TEST(ProgressLines, StopAtTheLineLimitAndKeepOnlyWholeLinesThatFitTheBuffer) {
  const std::vector<ProgressEntry> tree = {
      {NONE, 1, 3, "Test"}, {0, 0, 0, "first child"}, {0, 0, 0, "second child"}};
  EXPECT_EQ(lines(tree, 80, 2), "[1/3] Test\n├─ first child\n");
  EXPECT_EQ(lines(tree, 80, 0), "");
  const std::string two = "[1/3] Test\n├─ first child\n";
  // Exactly room for two lines, then one byte short of it.
  EXPECT_EQ(lines(tree, 80, 10, two.size()), two);
  EXPECT_EQ(lines(tree, 80, 10, two.size() - 1), "[1/3] Test\n");
  EXPECT_EQ(lines(tree, 80, 10, 3), "");
}

// ---------------------------------------------------------------------------------------------
// Frames for a parent process

// The one frame `frame` holds.
std::vector<DecodedNode> decode(const std::vector<std::byte>& frame) {
  const auto frames =
      decodeFrames(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()));
  EXPECT_EQ(frames.size(), 1u);
  return frames.empty() ? std::vector<DecodedNode>{} : frames.front();
}

std::vector<std::byte> encode(const std::vector<ProgressEntry>& entries, std::size_t room) {
  std::vector<std::byte> out(room);
  out.resize(encodeProgressFrame(entries, out));
  return out;
}

TEST(ProgressFrame, AnEmptyTreeIsTheEightByteEndFrame) {
  const std::vector<std::byte> frame = encode({}, 64);
  const std::vector<std::byte> expected = {std::byte{4}, std::byte{0}, std::byte{0}, std::byte{0},
                                           std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}};
  EXPECT_EQ(frame, expected);
  EXPECT_EQ(encode({}, 7).size(), 0u) << "no room even for the header";
}

TEST(ProgressFrame, CarriesEveryFieldLittleEndian) {
  const std::vector<ProgressEntry> tree = {
      {NONE, 12, 36, "Test"},
      {0, 0x0102030405060708u, 0, "vesk_ecs.test.ECS: World findNearest"},
      {1, 0, 0xFFFFFFFFFFu, "Π² = Π"},
  };
  const std::vector<DecodedNode> nodes = decode(encode(tree, 4096));
  ASSERT_EQ(nodes.size(), tree.size());
  for (std::size_t i = 0; i < tree.size(); ++i) {
    EXPECT_EQ(nodes[i].parent, tree[i].parent);
    EXPECT_EQ(nodes[i].completed, tree[i].completed);
    EXPECT_EQ(nodes[i].estimated_total, tree[i].estimated_total);
    EXPECT_EQ(nodes[i].name, tree[i].name);
  }
  // The byte order itself, on the second node's count: its lowest byte comes first.
  const std::vector<std::byte> frame = encode(tree, 4096);
  const std::size_t second_completed = 8 + (24 + 4) + 4;
  EXPECT_EQ(frame.at(second_completed), std::byte{0x08});
  EXPECT_EQ(frame.at(second_completed + 7), std::byte{0x01});
}

TEST(ProgressFrame, LeavesOutWhatDoesNotFitFromThatNodeOn) {
  const std::vector<ProgressEntry> tree = {
      {NONE, 1, 2, "Test"}, {0, 0, 0, "child"}, {1, 0, 0, "x"}};
  const std::size_t whole = encode(tree, 4096).size();
  ASSERT_EQ(whole, 8u + 3 * 24 + 4 + 5 + 1);
  for (std::size_t room = 8; room <= whole; ++room) {
    const std::vector<DecodedNode> nodes = decode(encode(tree, room));
    const std::size_t expected = room >= whole         ? 3
                                 : room >= 8 + 28 + 29 ? 2
                                 : room >= 8 + 28      ? 1
                                                       : 0;
    EXPECT_EQ(nodes.size(), expected) << "room " << room;
  }
}

// ---------------------------------------------------------------------------------------------
// The display on a driven clock

using std::chrono::milliseconds;

// A clock the test moves by hand. `advance` returns once the display's thread has done every tick
// due by the new time and waits again, so what the display wrote by then is all it will write.
class DrivenClock final : public ProgressClock {
 public:
  TimePoint now() noexcept override {
    std::lock_guard lock(mutex_);
    return now_;
  }

  bool waitUntil(TimePoint deadline) noexcept override {
    std::unique_lock lock(mutex_);
    waiting_until_ = deadline;
    changed_.notify_all();
    changed_.wait(lock, [&] { return interrupted_ || now_ >= deadline; });
    waiting_until_.reset();
    return interrupted_;
  }

  void interrupt() noexcept override {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
  }

  void resume() noexcept override {
    std::lock_guard lock(mutex_);
    interrupted_ = false;
  }

  void advance(milliseconds step) {
    std::unique_lock lock(mutex_);
    now_ += step;
    changed_.notify_all();
    const bool settled = changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return waiting_until_.has_value() && *waiting_until_ > now_;
    });
    EXPECT_TRUE(settled) << "the display's thread did not wait again";
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  TimePoint now_{};
  std::optional<TimePoint> waiting_until_;
  bool interrupted_ = false;
};

// A display on a driven clock, writing into a pipe that the test reads without waiting.
class DrivenDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe2(pipe_, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(pipe_[0], F_SETFL, O_NONBLOCK), 0);
  }
  void TearDown() override {
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }

  ProgressOutput onTerminal() const {
    return {ProgressOutput::Kind::terminal,
            Terminal(pipe_[1], true, TerminalEnvironment{"xterm", false, false}), -1};
  }
  ProgressOutput toParent() const { return {ProgressOutput::Kind::parent, Terminal(), pipe_[1]}; }

  // What the display wrote since the last call.
  std::string written() {
    std::string bytes;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipe_[0], buf, sizeof buf)) > 0;)
      bytes.append(buf, static_cast<std::size_t>(n));
    return bytes;
  }

  int pipe_[2] = {-1, -1};
  DrivenClock clock_;
  ProgressDisplay display_{clock_};
};

constexpr std::string_view ERASE_TWO_LINES = "\r\x1b[2A\x1b[J";

TEST_F(DrivenDisplay, DrawsAfterTheFirstDelayThenEachRefreshReplacingTheDrawingAndErasesAtTheEnd) {
  ProgressNode* root = display_.start(nullptr, "Test", 3);
  ProgressNode* first = display_.start(root, "first", 0);
  display_.show(root, onTerminal());
  clock_.advance(milliseconds(199));
  EXPECT_EQ(written(), "");
  clock_.advance(milliseconds(1));
  EXPECT_EQ(written(), "[0/3] Test\n└─ first\n");

  display_.end(first);
  display_.start(root, "second", 0);
  clock_.advance(milliseconds(79));
  EXPECT_EQ(written(), "") << "the next drawing comes a whole refresh after the last";
  clock_.advance(milliseconds(1));
  EXPECT_EQ(written(), "\r\x1b[2A\x1b[J[1/3] Test\n└─ second\n");

  display_.end(root);
  EXPECT_EQ(written(), ERASE_TWO_LINES);
  EXPECT_TRUE(display_.idle());
}

TEST_F(DrivenDisplay, ARootThatEndsBeforeTheFirstDelayLeavesNothingOnTheTerminal) {
  ProgressNode* root = display_.start(nullptr, "Test", 3);
  display_.show(root, onTerminal());
  clock_.advance(milliseconds(150));
  display_.end(root);
  EXPECT_EQ(written(), "");
  // A second run in the same process draws on its own schedule again.
  root = display_.start(nullptr, "Again", 1);
  display_.show(root, onTerminal());
  clock_.advance(milliseconds(200));
  EXPECT_EQ(written(), "[0/1] Again\n");
  display_.end(root);
  EXPECT_EQ(written(), "\r\x1b[1A\x1b[J");
}

TEST_F(DrivenDisplay, TakingTheStandardErrorLockErasesTheDrawingBeforeAnythingIsPrinted) {
  ProgressNode* root = display_.start(nullptr, "Test", 3);
  display_.start(root, "running", 0);
  display_.show(root, onTerminal());
  clock_.advance(milliseconds(200));
  EXPECT_EQ(written(), "[0/3] Test\n└─ running\n");
  { const StderrLock lock; }
  EXPECT_EQ(written(), ERASE_TWO_LINES);
  // The next drawing has nothing left to erase.
  clock_.advance(milliseconds(80));
  EXPECT_EQ(written(), "[0/3] Test\n└─ running\n");
  // While the lock is held elsewhere a tick draws nothing, and the next one makes up for it.
  {
    const StderrLock lock;
    EXPECT_EQ(written(), ERASE_TWO_LINES);
    clock_.advance(milliseconds(80));
    EXPECT_EQ(written(), "");
  }
  clock_.advance(milliseconds(80));
  EXPECT_EQ(written(), "[0/3] Test\n└─ running\n");
  display_.end(root);
  EXPECT_EQ(written(), ERASE_TWO_LINES);
}

TEST_F(DrivenDisplay, SendsTheTreeToAParentAtEachTickAndTheEndFrameLast) {
  ProgressNode* root = display_.start(nullptr, "Test", 2);
  ProgressNode* first = display_.start(root, "first", 0);
  display_.show(root, toParent());
  clock_.advance(milliseconds(199));
  EXPECT_EQ(written(), "");
  clock_.advance(milliseconds(1));
  std::vector<std::vector<DecodedNode>> frames = decodeFrames(written());
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].size(), 2u);
  EXPECT_EQ(frames[0][0].name, "Test");
  EXPECT_EQ(frames[0][1].name, "first");

  display_.end(first);
  clock_.advance(milliseconds(80));
  frames = decodeFrames(written());
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].size(), 1u);
  EXPECT_EQ(frames[0][0].completed, 1u);

  display_.end(root);
  frames = decodeFrames(written());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].empty()) << "the last frame says the run is over";
}

TEST(ProgressTree, ShowsChildrenInStartOrderAndForgetsTheChildrenOfAnEndedNode) {
  ProgressTree tree;
  ProgressNode* root = tree.start(nullptr, "root", 0);
  ProgressNode* a = tree.start(root, "a", 0);
  ProgressNode* b = tree.start(root, "b", 0);
  tree.start(a, "a1", 0);
  ASSERT_TRUE(tree.end(a));
  EXPECT_FALSE(tree.end(a)) << "a node ends once";
  // The freed slot is reused by a later child, which comes after b and adopts nothing.
  tree.start(root, "c", 0);
  ProgressSnapshot snapshot;
  tree.copy(root, snapshot);
  ASSERT_EQ(snapshot.count, 3u);
  EXPECT_EQ(snapshot.entries[0].completed, 1u);
  EXPECT_EQ(snapshot.entries[1].name, "b");
  EXPECT_EQ(snapshot.entries[2].name, "c");
  // A full pool hands out no more nodes; the work goes on untracked.
  std::size_t started = 0;
  while (tree.start(b, "x", 0) != nullptr)
    ++started;
  EXPECT_EQ(started, PROGRESS_MAX_NODES - 4);
  ASSERT_TRUE(tree.end(root));
  tree.copy(root, snapshot);
  EXPECT_EQ(snapshot.count, 0u);
}

}  // namespace
}  // namespace vesk
