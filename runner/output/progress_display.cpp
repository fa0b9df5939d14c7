#include "progress_display.hpp"

#include <charconv>
#include <cstdlib>
#include <new>
#include <optional>
#include <system_error>

#include "writer.hpp"

namespace vesk {

namespace {

// Names the inherited descriptor a parent process reads progress frames from.
constexpr const char* PROGRESS_FD_VARIABLE = "VESK_PROGRESS_FD";
constexpr std::string_view SCOPE = "default";
constexpr auto INITIAL_DELAY = std::chrono::milliseconds(200);
constexpr auto REFRESH_INTERVAL = std::chrono::milliseconds(80);

std::optional<int> parseDescriptor(std::string_view text) noexcept {
  int fd = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || fd < 0) {
    return std::nullopt;
  }
  return fd;
}

}  // namespace

ProgressOutput chooseProgressOutput() noexcept {
  if (const char* fd_text = std::getenv(PROGRESS_FD_VARIABLE)) {
    const std::optional<int> fd = parseDescriptor(fd_text);
    if (!fd) {
      logWith(LogLevel::warn, SCOPE, [fd_text](Writer& w) {
        w.put("invalid ").put(PROGRESS_FD_VARIABLE).put(" value '").put(fd_text);
        w.put("': expected a file descriptor number; not reporting progress");
      });
      return {};
    }
    return ProgressOutput{ProgressOutput::Kind::parent, Terminal(), *fd};
  }
  const Terminal terminal = Terminal::forErrorSink();
  if (!terminal.acceptsEscapes()) return {};
  return ProgressOutput{ProgressOutput::Kind::terminal, terminal, -1};
}

ProgressDisplay::~ProgressDisplay() {
  if (!idle()) stop();
}

void ProgressDisplay::show(const ProgressNode* root, const ProgressOutput& output) noexcept {
  started_at_ = clock_.now();
  root_ = root;
  switch (output.kind) {
    case ProgressOutput::Kind::none:
      return;
    case ProgressOutput::Kind::parent:
      sender_.begin(output.parent_fd);
      spawn(output.kind);
      return;
    case ProgressOutput::Kind::terminal:
      drawer_.begin(output.terminal);
      if (!spawn(output.kind)) drawer_.end();
      return;
  }
}

// False, after a warning, when the thread could not be started.
bool ProgressDisplay::spawn(ProgressOutput::Kind kind) noexcept {
  clock_.resume();
  kind_ = kind;
  std::string_view failure;
  // std::thread reports a refused thread by exception; it ends here as an error value.
  try {
    thread_ = std::thread([this] { run(); });
    return true;
  } catch (const std::system_error& e) {
    failure = errnoName(e.code().value());
  } catch (const std::bad_alloc&) {
    failure = "OutOfMemory";
  }
  kind_ = ProgressOutput::Kind::none;
  root_ = nullptr;
  const std::string_view what =
      kind == ProgressOutput::Kind::terminal
          ? "unable to spawn thread for printing progress to terminal: "
          : "failed to spawn IPC thread for communicating progress to parent: ";
  logWith(LogLevel::warn, SCOPE, [what, failure](Writer& w) { w.put(what).put(failure); });
  return false;
}

// The display's thread: a tick first INITIAL_DELAY after the start, then REFRESH_INTERVAL after
// each, until stopped; then the drawing is erased or the last frame sent.
void ProgressDisplay::run() noexcept {
  ProgressClock::TimePoint next = started_at_ + INITIAL_DELAY;
  while (!clock_.waitUntil(next)) {
    tree_.copy(root_, snapshot_);
    if (kind_ == ProgressOutput::Kind::terminal) {
      drawer_.draw(snapshot_);
    } else {
      sender_.send(snapshot_);
    }
    next = clock_.now() + REFRESH_INTERVAL;
  }
  if (kind_ == ProgressOutput::Kind::terminal) {
    drawer_.end();
  } else {
    sender_.end();
  }
}

void ProgressDisplay::stop() noexcept {
  clock_.interrupt();
  if (thread_.joinable()) thread_.join();
  kind_ = ProgressOutput::Kind::none;
  root_ = nullptr;
}

void ProgressDisplay::end(ProgressNode* node) noexcept {
  if (node == nullptr || !tree_.end(node)) return;
  if (node == root_ && !idle()) stop();
}

}  // namespace vesk
