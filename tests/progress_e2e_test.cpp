// The progress display end to end: fixture tables run on a pseudo-terminal, and what they write
// is replayed through a small terminal model that applies line feeds, cursor-up and erase
// sequences and gives wide characters two columns, so the tests see both the drawings and the
// screen they leave behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "progress_frames.hpp"
#include "run_process.hpp"

namespace vesk::testing {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string TABLE_FIXTURE = VESK_FIXTURE_DIR "/progress_fixture";
const std::string CHATTY_FIXTURE = VESK_FIXTURE_DIR "/progress_chatty";

// Columns a terminal gives one UTF-8 character, from the C library's table rather than the one
// the harness uses: 2 for wide characters, 0 for combining and zero-width ones, 1 otherwise.
std::size_t columnsOf(const std::string& code_point) {
  static const bool UTF8 = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  EXPECT_TRUE(UTF8) << "the C.UTF-8 locale is needed to measure characters";
  wchar_t wide = 0;
  std::mbstate_t state{};
  if (std::mbrtowc(&wide, code_point.data(), code_point.size(), &state) != code_point.size()) {
    return 1;
  }
  const int width = ::wcwidth(wide);
  return width < 0 ? 1 : static_cast<std::size_t>(width);
}

// A screen of fixed size with a cursor, scrolling into a history. It understands what a progress
// drawing may use (CR, LF, cursor-up, erase to the end of screen or line) and records anything
// else, so an unexpected sequence fails the test instead of being misread. Like common terminals
// it wraps a wide character that does not fit in the last column to the next row.
class VirtualTerminal {
 public:
  VirtualTerminal(std::size_t rows, std::size_t columns)
      : rows_(rows), columns_(columns), grid_(rows, std::vector<std::string>(columns)) {}

  void feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      if (b == '\x1b') {
        i = escape(bytes, i);
      } else if (b == '\r') {
        col_ = 0;
        pending_wrap_ = false;
        ++i;
      } else if (b == '\n') {
        lineFeed();
        pending_wrap_ = false;
        ++i;
      } else if (b < 0x20 || b == 0x7f) {
        unknown_.push_back(std::string(1, static_cast<char>(b)));
        ++i;
      } else {
        std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        n = std::min(n, bytes.size() - i);
        put(std::string(bytes.substr(i, n)));
        i += n;
      }
    }
  }

  /// The visible rows without trailing blanks.
  std::vector<std::string> screen() const {
    std::vector<std::string> out;
    out.reserve(rows_);
    for (std::size_t r = 0; r < rows_; ++r)
      out.push_back(rowText(r));
    return out;
  }

  /// Everything that scrolled off, then the screen, without the blank rows at its end.
  std::vector<std::string> transcript() const {
    std::vector<std::string> out = history_;
    for (const std::string& row : screen())
      out.push_back(row);
    while (!out.empty() && out.back().empty())
      out.pop_back();
    return out;
  }

  /// For each cursor-up by n rows: the n rows it went back over, as they were then.
  const std::vector<std::vector<std::string>>& erasedDrawings() const { return erased_; }
  const std::vector<std::string>& unknownSequences() const { return unknown_; }

 private:
  std::string rowText(std::size_t r) const {
    std::string text;
    for (const std::string& cell : grid_[r]) {
      if (cell != WIDE_TAIL) text += cell.empty() ? " " : cell;
    }
    while (!text.empty() && text.back() == ' ')
      text.pop_back();
    return text;
  }

  void lineFeed() {
    if (row_ + 1 < rows_) {
      ++row_;
      return;
    }
    history_.push_back(rowText(0));
    grid_.erase(grid_.begin());
    grid_.emplace_back(columns_);
  }

  void put(std::string code_point) {
    const std::size_t width = std::min(columnsOf(code_point), columns_);
    if (width == 0) {  // joins the character before it
      std::size_t c = pending_wrap_ ? col_ + 1 : col_;
      if (c > 0 && grid_[row_][c - 1] == WIDE_TAIL) --c;
      if (c > 0) grid_[row_][c - 1] += code_point;
      return;
    }
    if (pending_wrap_ || col_ + width > columns_) {
      col_ = 0;
      lineFeed();
      pending_wrap_ = false;
    }
    grid_[row_][col_] = std::move(code_point);
    if (width == 2) grid_[row_][col_ + 1] = WIDE_TAIL;
    if (col_ + width == columns_) {
      col_ = columns_ - 1;
      pending_wrap_ = true;
    } else {
      col_ += width;
    }
  }

  void clear(std::size_t row, std::size_t from_col) {
    for (std::size_t c = from_col; c < columns_; ++c)
      grid_[row][c].clear();
  }

  std::size_t escape(std::string_view bytes, std::size_t i) {
    if (i + 1 >= bytes.size() || bytes[i + 1] != '[') {
      unknown_.push_back(std::string(bytes.substr(i, 2)));
      return i + 2;
    }
    std::size_t end = i + 2;
    while (end < bytes.size() && (bytes[end] < 0x40 || bytes[end] > 0x7e))
      ++end;
    if (end == bytes.size()) {
      unknown_.push_back(std::string(bytes.substr(i)));
      return end;
    }
    const std::string params(bytes.substr(i + 2, end - i - 2));
    const char final_byte = bytes[end];
    const std::size_t n = params.empty() ? 1 : std::stoul(params);
    if (final_byte == 'A' && params.find_first_not_of("0123456789") == std::string::npos) {
      const std::size_t up = std::min(n, row_);
      std::vector<std::string> rows;
      for (std::size_t r = row_ - up; r < row_; ++r)
        rows.push_back(rowText(r));
      erased_.push_back(rows);
      row_ -= up;
      pending_wrap_ = false;
    } else if (final_byte == 'J' && (params.empty() || params == "0")) {
      clear(row_, col_);
      for (std::size_t r = row_ + 1; r < rows_; ++r)
        clear(r, 0);
    } else if (final_byte == 'K' && (params.empty() || params == "0")) {
      clear(row_, col_);
    } else {
      unknown_.push_back(std::string(bytes.substr(i, end + 1 - i)));
    }
    return end + 1;
  }

  // Fills the second cell of a wide character; no character the model keeps is a control.
  static constexpr std::string_view WIDE_TAIL = "\x01";

  std::size_t rows_, columns_;
  std::vector<std::vector<std::string>> grid_;
  std::vector<std::string> history_;
  std::size_t row_ = 0, col_ = 0;
  bool pending_wrap_ = false;
  std::vector<std::vector<std::string>> erased_;
  std::vector<std::string> unknown_;
};

std::string twoDigits(unsigned long n) {
  char buf[8];
  (void)std::snprintf(buf, sizeof buf, "%02lu", n);  // cut short past 7 digits, never reached
  return buf;
}

// The ended-case count of a drawing's root line, or -1 when the line is not a root line.
long rootCount(const std::string& line) {
  const std::string_view prefix = "[", suffix = "/36] Test";
  if (!line.starts_with(prefix) || !line.ends_with(suffix)) return -1;
  const std::string digits = line.substr(1, line.size() - prefix.size() - suffix.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stol(digits);
}

ProcessOptions onTerminal(std::vector<std::string> env, unsigned short columns = 80,
                          unsigned short rows = 25) {
  ProcessOptions options;
  options.stderr_on_terminal = true;
  options.terminal_columns = columns;
  options.terminal_rows = rows;
  options.set_env = {"TERM=xterm"};
  options.set_env.insert(options.set_env.end(), env.begin(), env.end());
  return options;
}

VirtualTerminal replay(const ProcessResult& r, std::size_t rows, std::size_t columns) {
  VirtualTerminal term(rows, columns);
  term.feed(r.err);
  EXPECT_THAT(term.unknownSequences(), IsEmpty());
  return term;
}

TEST(ProgressDisplay, ShowsTheRunningCaseUnderTheRootCountAndLeavesOnlyTheSummary) {
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = runProcess(
      TABLE_FIXTURE,
      onTerminal({"FIXTURE_SLEEP_MS=100", "FIXTURE_SLOW_CASE=13", "FIXTURE_SLOW_MS=400"}));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.exit_code, 0);
  const VirtualTerminal term = replay(r, 25, 80);
  EXPECT_THAT(term.transcript(), ElementsAre("All 36 tests passed."));

  const auto& drawings = term.erasedDrawings();
  EXPECT_THAT(drawings, Contains(ElementsAre("[12/36] Test",
                                             "└─ progress.test.case 13: normalizeDet → det ≈ 1")));
  bool saw_cut_line = false;
  for (const std::vector<std::string>& drawing : drawings) {
    ASSERT_THAT(drawing.size(), ::testing::AllOf(::testing::Ge(1u), ::testing::Le(2u)));
    const long ended = rootCount(drawing[0]);
    ASSERT_GE(ended, 0) << drawing[0];
    // The case shown running is always the one after those counted as ended.
    if (drawing.size() == 2) {
      EXPECT_EQ(drawing[1].rfind("└─ progress.test.case " + twoDigits(ended + 1) + ": ", 0), 0u)
          << drawing[0] << " / " << drawing[1];
      EXPECT_LE(codePoints(drawing[1]), 80u);
      saw_cut_line = saw_cut_line || codePoints(drawing[1]) == 80;
    }
  }
  EXPECT_TRUE(saw_cut_line) << "the long names should have been cut at the right edge";
  // First drawing after 200 ms, so never during the first 100 ms case; then one per 80 ms at most.
  ASSERT_FALSE(drawings.empty());
  EXPECT_GE(rootCount(drawings.front()[0]), 1);
  const auto most = (elapsed - std::chrono::milliseconds(200)) / std::chrono::milliseconds(80) + 2;
  EXPECT_LE(static_cast<long>(drawings.size()), static_cast<long>(most));
  EXPECT_GE(drawings.size(), 5u);
}

TEST(ProgressDisplay, ARunShorterThanTheFirstDelayDrawsNothingThoughItsThreadRuns) {
  // About 40 ms of cases, well inside the first delay even on a loaded machine.
  const ProcessResult r =
      runProcess(TABLE_FIXTURE, onTerminal({"FIXTURE_REPORT_THREADS=1", "FIXTURE_SLEEP_MS=1"}));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "[fixture] (warn): threads: 2\r\nAll 36 tests passed.\r\n");
}

TEST(ProgressDisplay, StandardErrorOnAPipeStartsNoThread) {
  ProcessOptions options;
  options.set_env = {"TERM=xterm", "FIXTURE_REPORT_THREADS=1", "FIXTURE_SLEEP_MS=8"};
  const ProcessResult r = runProcess(TABLE_FIXTURE, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.rfind("1/36 progress.test.case 01: Π_Λ ε S³...[fixture] (warn): threads: 1\nOK\n"
                        "2/36 progress.test.case 02: ",
                        0),
            0u)
      << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
}

TEST(ProgressDisplay, ATerminalWithoutEscapeSequencesGetsNoDrawingAndNoThread) {
  for (const char* term : {"TERM=dumb", "TERM="}) {
    const ProcessResult r = runProcess(
        TABLE_FIXTURE, onTerminal({term, "FIXTURE_REPORT_THREADS=1", "FIXTURE_SLEEP_MS=7"}));
    EXPECT_EQ(r.exit_code, 0) << term;
    EXPECT_EQ(r.err, "[fixture] (warn): threads: 1\r\nAll 36 tests passed.\r\n") << term;
  }
  ProcessOptions unset = onTerminal({"FIXTURE_SLEEP_MS=7"});
  unset.set_env.erase(unset.set_env.begin());
  unset.unset_env.push_back("TERM");
  EXPECT_EQ(runProcess(TABLE_FIXTURE, unset).err, "All 36 tests passed.\r\n");
}

TEST(ProgressDisplay, FollowsATerminalThatGetsNarrower) {
  const ProcessResult r = runProcess(
      TABLE_FIXTURE,
      onTerminal({"FIXTURE_SLEEP_MS=70", "FIXTURE_RESIZE_CASE=18", "FIXTURE_RESIZE_COLUMNS=50"},
                 100));
  EXPECT_EQ(r.exit_code, 0);
  const VirtualTerminal term = replay(r, 25, 100);
  EXPECT_THAT(term.transcript(), ElementsAre("All 36 tests passed."));
  std::size_t widest_before = 0, widest_after = 0;
  for (const std::vector<std::string>& drawing : term.erasedDrawings()) {
    ASSERT_FALSE(drawing.empty());
    const long ended = rootCount(drawing[0]);
    for (const std::string& line : drawing) {
      // Case 18 narrows the terminal; from case 21 on a tick has surely seen it. Every third
      // case has a name long enough to fill either width.
      if (ended + 1 < 18) widest_before = std::max(widest_before, codePoints(line));
      if (ended + 1 >= 21) widest_after = std::max(widest_after, codePoints(line));
    }
  }
  EXPECT_EQ(widest_before, 100u);
  EXPECT_EQ(widest_after, 50u);
}

TEST(ProgressDisplay, DrawsNothingIntoTheLastRow) {
  const ProcessResult r =
      runProcess(TABLE_FIXTURE, onTerminal({"FIXTURE_SLOW_CASE=2", "FIXTURE_SLOW_MS=450"}, 80, 2));
  const VirtualTerminal term = replay(r, 2, 80);
  ASSERT_FALSE(term.erasedDrawings().empty());
  for (const std::vector<std::string>& drawing : term.erasedDrawings()) {
    EXPECT_THAT(drawing, ElementsAre("[1/36] Test"));
  }
  EXPECT_THAT(term.transcript(), ElementsAre("All 36 tests passed."));
}

TEST(ProgressDisplay, CutsWideCharactersByColumnsSoNoStaleLineIsLeft) {
  const ProcessResult r =
      runProcess(TABLE_FIXTURE, onTerminal({"FIXTURE_SLEEP_MS=40", "FIXTURE_WIDE_NAMES=1"}, 40));
  EXPECT_EQ(r.exit_code, 0);
  const VirtualTerminal term = replay(r, 25, 40);
  EXPECT_THAT(term.transcript(), ElementsAre("All 36 tests passed."));
  // The name stops where its next wide character would straddle the last column.
  EXPECT_THAT(term.erasedDrawings(),
              Contains(ElementsAre(StartsWith("["), AllOf(StartsWith("└─ progress.test.case "),
                                                          EndsWith(": 幅広い文字 x")))));
}

TEST(ProgressDisplay, AStopOrAFaultReportIsAllThatStaysOnTheScreen) {
  const std::pair<std::string, std::string> stops[] = {
      {"FIXTURE_FAULT_CASE=7", "Segmentation fault at address 0x?"},
      {"FIXTURE_PANIC_CASE=7", "thread ? panic: fixture stop"},
  };
  for (const auto& [stop, first_line] : stops) {
    const ProcessResult r =
        runProcess(TABLE_FIXTURE, onTerminal({"FIXTURE_SLEEP_MS=60", "NO_COLOR=1", stop}));
    EXPECT_EQ(r.signal, SIGABRT) << stop;
    const VirtualTerminal term = replay(r, 25, 80);
    EXPECT_FALSE(term.erasedDrawings().empty()) << stop << ": the display should have drawn";
    // Nothing of a drawing above the report, and no drawing after it.
    const std::vector<std::string> transcript = term.transcript();
    ASSERT_FALSE(transcript.empty()) << stop;
    EXPECT_EQ(maskVarying(transcript.front()), first_line);
    for (const std::string& line : transcript) {
      EXPECT_TRUE(rootCount(line) < 0 && !line.starts_with("└─")) << stop << ": " << line;
    }
  }
}

TEST(ProgressDisplay, AssumesEightyByTwentyFiveWhenTheTerminalHasNoSize) {
  // Case 3 has a long name; it raises the threshold so the display's debug message shows.
  const ProcessResult r = runProcess(
      TABLE_FIXTURE,
      onTerminal({"FIXTURE_SLOW_CASE=3", "FIXTURE_SLOW_MS=500", "FIXTURE_DEBUG_CASE=3"}, 0, 0));
  EXPECT_EQ(r.exit_code, 0);
  const VirtualTerminal term = replay(r, 40, 200);
  EXPECT_THAT(term.transcript(),
              ElementsAre("[default] (debug): failed to determine terminal size; using "
                          "conservative guess 80x25",
                          "All 36 tests passed."));
  std::size_t during_case_3 = 0;
  for (const std::vector<std::string>& drawing : term.erasedDrawings()) {
    if (drawing.size() != 2 || drawing[0] != "[2/36] Test") continue;
    ++during_case_3;
    EXPECT_EQ(codePoints(drawing[1]), 80u) << drawing[1];
  }
  EXPECT_GE(during_case_3, 1u);
}

TEST(ProgressDisplay, NeverSplitsALogLineARunnerLineOrAnExpectationMessage) {
  const ProcessResult r = runProcess(CHATTY_FIXTURE, onTerminal({}));
  EXPECT_EQ(r.exit_code, 0);
  std::vector<std::string> expected;
  for (int c = 1; c <= 12; ++c) {
    for (int line = 1; line <= 12; ++line) {
      expected.push_back("[chatty] (warn): case " + twoDigits(c) + " line " + twoDigits(line));
    }
    if (c == 5) expected.push_back("5/12 progress_chatty.test.case 05...SKIP");
    if (c == 8) {
      expected.push_back("actual 1e0, not within absolute tolerance 1e-10 of expected 2e0");
      expected.push_back("8/12 progress_chatty.test.case 08...SKIP");
    }
  }
  expected.push_back("10 passed; 2 skipped; 0 failed.");
  // Each line goes out in one piece, ...
  for (const std::string& line : expected) {
    EXPECT_NE(r.err.find(line + "\r\n"), std::string::npos) << line;
  }
  // ... and on the screen nothing of a drawing is left between or inside them.
  const VirtualTerminal term = replay(r, 25, 80);
  EXPECT_EQ(term.transcript(), expected);
  EXPECT_GE(term.erasedDrawings().size(), 3u) << "the display should have drawn during the run";
}

TEST(ProgressDisplay, AThreadThatCannotBeStartedIsAWarningNotAFailure) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's own mappings need the address space this test takes away";
#endif
  const ProcessResult r = runProcess(
      TABLE_FIXTURE, onTerminal({"FIXTURE_ADDRESS_SPACE_SLACK_KB=1024", "FIXTURE_SLEEP_MS=7"}));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "[default] (warn): unable to spawn thread for printing progress to terminal: EAGAIN\r\n"
            "All 36 tests passed.\r\n");
  // The same for the thread that would send to a parent.
  const ProcessResult ipc = runProcess(
      TABLE_FIXTURE, onTerminal({"FIXTURE_ADDRESS_SPACE_SLACK_KB=1024", "VESK_PROGRESS_FD=2"}));
  EXPECT_EQ(ipc.exit_code, 0);
  EXPECT_EQ(ipc.err,
            "[default] (warn): failed to spawn IPC thread for communicating progress to parent: "
            "EAGAIN\r\nAll 36 tests passed.\r\n");
}

// ---------------------------------------------------------------------------------------------
// Sending to a parent process

TEST(ProgressToParent, SendsTheTreeThroughTheInheritedDescriptorAndDrawsNothing) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int inherited = ::fcntl(fds[1], F_DUPFD, 10);  // without close-on-exec
  ::close(fds[1]);
  const ProcessResult r = runProcess(
      TABLE_FIXTURE,
      onTerminal({"FIXTURE_SLEEP_MS=40", "VESK_PROGRESS_FD=" + std::to_string(inherited)}));
  ::close(inherited);
  std::string bytes;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    bytes.append(buf, n);
  ::close(fds[0]);

  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "All 36 tests passed.\r\n");
  const std::vector<std::vector<DecodedNode>> frames = decodeFrames(bytes);
  ASSERT_GE(frames.size(), 4u);
  EXPECT_THAT(frames.back(), IsEmpty()) << "the last frame says the run is over";
  std::uint64_t last_count = 0;
  for (std::size_t f = 0; f + 1 < frames.size(); ++f) {
    const std::vector<DecodedNode>& nodes = frames[f];
    ASSERT_THAT(nodes.size(), ::testing::AllOf(::testing::Ge(1u), ::testing::Le(2u)));
    EXPECT_EQ(nodes[0].parent, 0xFFFFFFFFu);
    EXPECT_EQ(nodes[0].name, "Test");
    EXPECT_EQ(nodes[0].estimated_total, 36u);
    EXPECT_GE(nodes[0].completed, last_count);
    last_count = nodes[0].completed;
    if (nodes.size() == 2) {
      const unsigned long running = nodes[0].completed + 1;
      EXPECT_EQ(nodes[1].parent, 0u);
      EXPECT_EQ(nodes[1].estimated_total, 0u);
      EXPECT_EQ(nodes[1].name.rfind("progress.test.case " + twoDigits(running) + ": ", 0), 0u);
      // Names travel whole; only a drawing cuts them.
      if (running % 3 == 0) {
        EXPECT_GT(codePoints(nodes[1].name), 100u) << nodes[1].name;
      }
    }
  }
  EXPECT_GT(last_count, 20u);
}

TEST(ProgressToParent, ASendThatFailsIsADebugMessageAndTheRunGoesOn) {
  // Descriptor 200 is not open. Case 3 raises the threshold long enough for a few sends.
  const ProcessResult r =
      runProcess(TABLE_FIXTURE, onTerminal({"VESK_PROGRESS_FD=200", "FIXTURE_SLOW_CASE=3",
                                            "FIXTURE_SLOW_MS=450", "FIXTURE_DEBUG_CASE=3"}));
  EXPECT_EQ(r.exit_code, 0);
  const std::string message =
      "[default] (debug): failed to send progress to parent process: EBADF\r\n";
  EXPECT_EQ(r.err.rfind(message + message, 0), 0u) << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_TRUE(r.err.ends_with("All 36 tests passed.\r\n")) << r.err;
}

TEST(ProgressToParent, AParentThatStopsReadingDoesNotHoldTheRun) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int inherited = ::fcntl(fds[1], F_DUPFD, 10);  // without close-on-exec
  ::close(fds[1]);
  // Fill the pipe, as a parent that stopped reading long ago would leave it.
  const std::string page(4096, '\0');
  const int pages = ::fcntl(inherited, F_GETPIPE_SZ) / 4096;
  for (int p = 0; p < pages; ++p)
    ASSERT_EQ(::write(inherited, page.data(), page.size()), 4096);
  // The last case raises the threshold, and nothing lowers it before the final frame.
  ProcessOptions options =
      onTerminal({"VESK_PROGRESS_FD=" + std::to_string(inherited), "FIXTURE_SLOW_CASE=36",
                  "FIXTURE_SLOW_MS=450", "FIXTURE_DEBUG_CASE=36"});
  options.time_limit_ms = 15000;
  const ProcessResult r = runProcess(TABLE_FIXTURE, options);
  ::close(inherited);
  ::close(fds[0]);

  EXPECT_FALSE(r.timed_out) << "the run did not end";
  EXPECT_EQ(r.exit_code, 0);
  // Frames during the last case and the final one are dropped, each with a debug message.
  const std::string message =
      "[default] (debug): failed to send progress to parent process: EAGAIN\r\n";
  EXPECT_EQ(r.err.rfind(message + message, 0), 0u) << r.err;
  EXPECT_TRUE(r.err.ends_with(message + "All 36 tests passed.\r\n")) << r.err;
}

TEST(ProgressToParent, AnInvalidDescriptorNumberIsNamedInAWarningAndNothingIsDrawn) {
  for (const std::string value : {"abc", "-1", ""}) {
    const ProcessResult r =
        runProcess(TABLE_FIXTURE, onTerminal({"FIXTURE_SLEEP_MS=8", "VESK_PROGRESS_FD=" + value}));
    EXPECT_EQ(r.exit_code, 0) << value;
    EXPECT_EQ(r.err, "[default] (warn): invalid VESK_PROGRESS_FD value '" + value +
                         "': expected a file descriptor number; not reporting progress\r\n"
                         "All 36 tests passed.\r\n");
  }
}

}  // namespace
}  // namespace vesk::testing
