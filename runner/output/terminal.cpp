#include "terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include <vesk/sink.hpp>

namespace vesk {

TerminalEnvironment TerminalEnvironment::ofProcess() noexcept {
  return TerminalEnvironment{std::getenv("TERM"), std::getenv("NO_COLOR") != nullptr,
                             std::getenv("CLICOLOR_FORCE") != nullptr};
}

Terminal::Terminal(int fd, const TerminalEnvironment& environment) noexcept
    : Terminal(fd, ::isatty(fd) == 1, environment) {}

Terminal::Terminal(int fd, bool is_terminal, const TerminalEnvironment& environment) noexcept
    : fd_(fd), is_terminal_(is_terminal) {
  const char* term = environment.term;
  accepts_escapes_ =
      is_terminal && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
  colour_ = !environment.no_color && (environment.clicolor_force || accepts_escapes_);
}

Terminal Terminal::forErrorSink() noexcept {
  return Terminal(errorSink(), TerminalEnvironment::ofProcess());
}

std::optional<TerminalSize> Terminal::size() const noexcept {
  winsize size{};
  if (::ioctl(fd_, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return std::nullopt;
  }
  return TerminalSize{size.ws_col, size.ws_row};
}

}  // namespace vesk
