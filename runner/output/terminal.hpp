// The terminal that reports go to: its descriptor, whether it is a terminal, whether it takes
// escape sequences, its size and whether traces are coloured. The one place the harness and the
// build driver decide these; it draws and writes nothing itself.
#pragma once

#include <optional>

namespace vesk {

/// Columns and rows of a terminal window.
struct TerminalSize {
  unsigned short columns = 0;
  unsigned short rows = 0;
};

/// What the environment says about the terminal.
struct TerminalEnvironment {
  const char* term = nullptr;   ///< TERM, or null when it is unset
  bool no_color = false;        ///< NO_COLOR is set
  bool clicolor_force = false;  ///< CLICOLOR_FORCE is set

  /// The process's own environment. Reads variables only, so it may run in a stop report.
  static TerminalEnvironment ofProcess() noexcept;
};

/// A descriptor judged as a terminal: decided once, when it is made.
class Terminal {
 public:
  /// No terminal: descriptor -1, nothing drawn and nothing coloured.
  Terminal() noexcept = default;
  /// `fd` as it is (asked with isatty), judged by `environment`.
  Terminal(int fd, const TerminalEnvironment& environment) noexcept;
  /// `fd` judged by `environment`, with `is_terminal` standing for isatty's answer.
  Terminal(int fd, bool is_terminal, const TerminalEnvironment& environment) noexcept;

  /// The error sink as it is now, judged by the process's environment.
  static Terminal forErrorSink() noexcept;

  /// The descriptor written to.
  int fd() const noexcept { return fd_; }
  /// Whether the descriptor is a terminal at all: a person watches it, so a run shows what is
  /// going on and prints lines only for what needs a look.
  bool isTerminal() const noexcept { return is_terminal_; }
  /// Whether it takes escape sequences (and so the progress display): a terminal with TERM set
  /// and not "dumb".
  bool acceptsEscapes() const noexcept { return accepts_escapes_; }
  /// Whether traces are coloured: never with NO_COLOR, always with CLICOLOR_FORCE, and otherwise
  /// when the terminal takes escape sequences.
  bool colour() const noexcept { return colour_; }
  /// The window size the terminal reports, asked each time; none when it reports none (not a
  /// terminal, or a size of 0).
  std::optional<TerminalSize> size() const noexcept;

 private:
  int fd_ = -1;
  bool is_terminal_ = false;
  bool accepts_escapes_ = false;
  bool colour_ = false;
};

}  // namespace vesk
