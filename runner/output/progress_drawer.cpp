#include "progress_drawer.hpp"

#include <time.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <span>
#include <string_view>

#include "writer.hpp"

namespace vesk {

namespace {

constexpr TerminalSize FALLBACK_SIZE{80, 25};
constexpr std::size_t DRAW_BUFFER_SIZE = 4096;
constexpr std::string_view SCOPE = "default";
// How a stop or fault report waits for the standard-error lock: about 25 ms in all.
constexpr int REPORT_LOCK_ATTEMPTS = 25;
constexpr timespec REPORT_LOCK_PAUSE{0, 1'000'000};

// Set by the window-change handler, so it is a file-level global; starts set so that the first
// drawing asks for the size.
std::atomic<bool> resized{true};

void noteResize(int) noexcept {
  resized.store(true, std::memory_order_relaxed);
}

// Every drawn line ends with a line feed, so the cursor rests at the start of the line below the
// drawing: going up `lines` rows and clearing to the end of the screen removes exactly it.
std::size_t writeErase(std::span<char> out, std::size_t lines) noexcept {
  if (lines == 0) return 0;
  char* at = out.data();
  *at++ = '\r';
  *at++ = '\x1b';
  *at++ = '[';
  at = std::to_chars(at, out.data() + out.size(), lines).ptr;
  for (char c : std::string_view("A\x1b[J"))
    *at++ = c;
  return static_cast<std::size_t>(at - out.data());
}

}  // namespace

void ProgressDrawer::begin(const Terminal& terminal) noexcept {
  terminal_ = terminal;
  installResizeHandler();
  setStderrOverlay(this);
  drawing_.store(true);
}

void ProgressDrawer::draw(const ProgressSnapshot& snapshot) noexcept {
  if (resized.exchange(false, std::memory_order_relaxed)) querySize();
  // Never wait for the lock: a busy standard error only costs this one drawing.
  StderrLock lock(std::try_to_lock);
  // A report that took the lock before us has erased the drawing and must stay below nothing.
  if (!lock.owns() || reporting_.load()) return;
  // Erasing and drawing go out in one write, so the terminal never shows a half-drawn tree.
  std::array<char, DRAW_BUFFER_SIZE> buf;
  const std::size_t erase_len = writeErase(buf, drawn_lines_.load());
  // One row stays free: a drawing as tall as the screen would scroll its top line out of reach.
  const ProgressText text =
      formatProgressLines(snapshot.view(), size_.columns, std::size_t{size_.rows} - 1,
                          std::span(buf).subspan(erase_len));
  writeAll(terminal_.fd(), buf.data(), erase_len + text.size);
  drawn_lines_ = text.lines;
}

void ProgressDrawer::end() noexcept {
  {
    // Taking the lock erases the drawing once more; removing the overlay under the lock leaves
    // the terminal clean for whatever is printed next.
    StderrLock lock;
    setStderrOverlay(nullptr);
    drawing_.store(false);
  }
  restoreResizeHandler();
}

void ProgressDrawer::eraseForReport() noexcept {
  reporting_.store(true);
  if (!drawing_.load()) return;
  // The lock is held only for a write, unless its holder stopped for good (this very thread in the
  // middle of a print, or a thread blocked on a terminal that does not read): try only briefly.
  // A failed try-lock is one atomic operation and nanosleep is async-signal-safe, so this holds
  // in a fault handler too. A lock taken here is never released: the process is ending, and
  // nothing else may print into the report.
  for (int attempt = 0; attempt < REPORT_LOCK_ATTEMPTS; ++attempt) {
    StderrLock lock(std::try_to_lock);
    if (lock.owns()) {
      lock.holdForever();
      break;
    }
    ::nanosleep(&REPORT_LOCK_PAUSE, nullptr);
  }
  // Without the lock the count could be stale only while its holder is drawing, which takes
  // microseconds; a holder still busy after the attempts is stuck elsewhere and drew nothing
  // new, so erasing by the count removes exactly what is on the screen.
  char buf[32];
  writeAll(terminal_.fd(), buf, writeErase(buf, drawn_lines_.exchange(0)));
}

void ProgressDrawer::eraseUnderLock() noexcept {
  char buf[32];
  const std::size_t len = writeErase(buf, drawn_lines_.exchange(0));
  writeAll(terminal_.fd(), buf, len);  // a failing terminal is not worth failing the run for
}

void ProgressDrawer::installResizeHandler() noexcept {
  struct sigaction action {};
  action.sa_handler = noteResize;
  sigemptyset(&action.sa_mask);
  // Restarting keeps a resize from failing the main thread's reads and writes with EINTR.
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGWINCH, &action, &previous_resize_action_) != 0) {
    const std::string_view name = errnoName(errno);
    logWith(LogLevel::warn, SCOPE, [name](Writer& w) {
      w.put("failed to install SIGWINCH signal handler for noticing terminal resizes: ").put(name);
    });
    return;
  }
  resize_handler_installed_ = true;
  resized.store(true, std::memory_order_relaxed);
}

void ProgressDrawer::restoreResizeHandler() noexcept {
  if (!resize_handler_installed_) return;
  ::sigaction(SIGWINCH, &previous_resize_action_, nullptr);
  resize_handler_installed_ = false;
}

// Called without the standard-error lock: the fallback message is logged, which takes it.
void ProgressDrawer::querySize() noexcept {
  if (const std::optional<TerminalSize> size = terminal_.size()) {
    size_ = *size;
    return;
  }
  size_ = FALLBACK_SIZE;
  log(LogLevel::debug, SCOPE, "failed to determine terminal size; using conservative guess 80x25");
}

}  // namespace vesk
