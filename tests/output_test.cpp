// The output layer's decisions and words: what the terminal object makes of a descriptor and the
// environment, and the summary sentences terminal mode and the build driver print.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "summary.hpp"
#include "terminal.hpp"

namespace vesk {
namespace {

struct Judged {
  bool escapes, colour;
  bool operator==(const Judged&) const = default;
};

Judged judge(bool is_terminal, const char* term, bool no_color = false, bool force = false) {
  const Terminal t(3, is_terminal, TerminalEnvironment{term, no_color, force});
  EXPECT_EQ(t.isTerminal(), is_terminal);
  return {t.acceptsEscapes(), t.colour()};
}

TEST(Terminal, EscapesNeedATerminalWithAUsefulTermAndColourFollowsThemUnlessTold) {
  EXPECT_EQ(judge(true, "xterm"), (Judged{true, true}));
  for (const char* term : {static_cast<const char*>(nullptr), "", "dumb"}) {
    EXPECT_EQ(judge(true, term), (Judged{false, false})) << (term ? term : "unset");
  }
  EXPECT_EQ(judge(false, "xterm"), (Judged{false, false}));
  // CLICOLOR_FORCE colours whatever the descriptor is; NO_COLOR wins over it, and neither
  // changes whether the progress display may draw.
  EXPECT_EQ(judge(false, "xterm", false, true), (Judged{false, true}));
  EXPECT_EQ(judge(true, "dumb", false, true), (Judged{false, true}));
  EXPECT_EQ(judge(true, "xterm", true, false), (Judged{true, false}));
  EXPECT_EQ(judge(true, "xterm", true, true), (Judged{true, false}));
}

TEST(Terminal, AsksTheDescriptorWhetherItIsATerminalAndHowLargeItIs) {
  const TerminalEnvironment xterm{"xterm", false, false};
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const Terminal pipe(fds[1], xterm);
  EXPECT_FALSE(pipe.isTerminal());
  EXPECT_FALSE(pipe.acceptsEscapes());
  EXPECT_FALSE(pipe.size().has_value());
  ::close(fds[0]);
  ::close(fds[1]);

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  const Terminal pty(slave, xterm);
  EXPECT_TRUE(pty.isTerminal());
  EXPECT_TRUE(pty.acceptsEscapes());
  // A window of size 0, as a terminal that was never given one reports, is no size.
  winsize size{};
  ASSERT_EQ(::ioctl(slave, TIOCSWINSZ, &size), 0);
  EXPECT_FALSE(pty.size().has_value());
  size.ws_col = 132;
  size.ws_row = 43;
  ASSERT_EQ(::ioctl(slave, TIOCSWINSZ, &size), 0);
  const std::optional<TerminalSize> got = pty.size();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got.value_or(TerminalSize{}).columns, 132);
  EXPECT_EQ(got.value_or(TerminalSize{}).rows, 43);
  ::close(slave);
  ::close(master);
}

std::string summary(const RunCounts& counts) {
  const int fd = ::memfd_create("summary", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  {
    Writer out(fd);
    writeSummary(out, counts);
  }
  std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_CUR)), '\0');
  EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  ::close(fd);
  return text;
}

TEST(Summary, StatesTheCountsInTheHarnesssWords) {
  EXPECT_EQ(summary({.selected = 36, .passed = 36}), "All 36 tests passed.\n");
  EXPECT_EQ(summary({}), "All 0 tests passed.\n");
  // A skip is not a pass, though it does not fail the run.
  EXPECT_EQ(summary({.selected = 3, .passed = 2, .skipped = 1}),
            "2 passed; 1 skipped; 0 failed.\n");
  // Crashes and timeouts are named only when there is one of either.
  EXPECT_EQ(summary({.selected = 3, .passed = 2, .crashed = 1}),
            "2 passed; 0 skipped; 0 failed; 1 crashed; 0 timed out.\n");
  EXPECT_EQ(summary({.selected = 4, .passed = 1, .failed = 1, .timed_out = 2}),
            "1 passed; 0 skipped; 1 failed; 0 crashed; 2 timed out.\n");
  // Logged errors, flaky cases and leaks follow, in that order, even when every case passed.
  EXPECT_EQ(summary({.selected = 2, .passed = 2, .leaked = 1, .log_errors = 3, .flaky = 1}),
            "All 2 tests passed.\n3 errors were logged.\n1 tests were flaky (passed on a "
            "retry).\n1 tests leaked memory.\n");
}

}  // namespace
}  // namespace vesk
