#include "progress.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>

#include <vesk/log.hpp>
#include <vesk/vesk_base.hpp>
#include "progress_format.hpp"

namespace vesk {

struct ProgressNode {
  std::string_view name;
  std::uint64_t estimated_total = 0;
  std::uint64_t completed = 0;
  ProgressNode* parent = nullptr;
  std::uint64_t start_order = 0;  // siblings are drawn oldest first
  bool live = false;
};

namespace {

using Clock = std::chrono::steady_clock;

// Names the inherited descriptor a parent process reads progress frames from.
constexpr const char* PROGRESS_FD_VARIABLE = "VESK_PROGRESS_FD";
constexpr std::size_t MAX_NODES = 32;
constexpr std::size_t DRAW_BUFFER_SIZE = 4096;
constexpr auto INITIAL_DELAY = std::chrono::milliseconds(200);
constexpr auto REFRESH_INTERVAL = std::chrono::milliseconds(80);
constexpr unsigned short FALLBACK_COLUMNS = 80;
constexpr unsigned short FALLBACK_ROWS = 25;
constexpr std::string_view SCOPE = "default";
// How long the final frame may wait for a parent that does not read. Frames during the run never
// wait, so this is all that sending adds to the end of a run.
constexpr auto FINAL_FRAME_WAIT = std::chrono::milliseconds(90);
// How a stop or fault report waits for the standard-error lock: about 25 ms in all.
constexpr int REPORT_LOCK_ATTEMPTS = 25;
constexpr timespec REPORT_LOCK_PAUSE{0, 1'000'000};

// ---------------------------------------------------------------------------------------------
// The tree: changed by the main thread, copied by the display thread. tree_mutex is held only for
// those short steps and never while taking another lock, so it cannot deadlock with the
// standard-error lock.

std::mutex tree_mutex;
std::array<ProgressNode, MAX_NODES> nodes;
std::uint64_t next_start_order = 1;

// A copy of the tree, names included, so drawing never reads a name the main thread reuses.
struct Snapshot {
  std::array<ProgressEntry, MAX_NODES> entries;
  std::size_t count = 0;
  std::array<char, DRAW_BUFFER_SIZE> names;
  std::size_t names_used = 0;

  std::span<const ProgressEntry> view() const noexcept { return {entries.data(), count}; }
};

ProgressNode* claim(ProgressNode* parent, std::string_view name, std::uint64_t total) noexcept;
void copySubtree(Snapshot& snap, const ProgressNode& node, std::uint32_t parent_index) noexcept;
void takeSnapshot(Snapshot& snap, const ProgressNode* root) noexcept;

// ---------------------------------------------------------------------------------------------
// The display: at most one background thread, started with a root and stopped when it ends.

enum class Mode : std::uint8_t { none, terminal, parent };

struct Display {
  Mode mode = Mode::none;
  const ProgressNode* root = nullptr;
  int parent_fd = -1;
  Clock::time_point started_at;
  std::thread thread;
  std::mutex control_mutex;
  std::condition_variable wake;
  bool stop = false;  // guarded by control_mutex
  bool resize_handler_installed = false;
  struct sigaction previous_resize_action {};
};

Display display;

// Lines currently drawn on the terminal. Changed under the standard-error lock, or by a stop
// report that could not take it: atomic for that case.
std::atomic<std::size_t> drawn_lines{0};
// Set while the terminal display may draw, so a stop report knows whether to wait for the lock.
std::atomic<bool> terminal_drawing{false};
// Set for good once a stop or fault report owns standard error: the display draws no more.
std::atomic<bool> reporting{false};
// Set when a frame went out only in part: the parent's stream can no longer be parsed, so nothing
// more is sent to it. Only the sending thread touches it.
bool parent_stream_cut = false;
// Set by the window-change handler; starts set so the first drawing asks for the size.
std::atomic<bool> resized{true};
// The terminal size, known only to the display thread.
unsigned short columns = FALLBACK_COLUMNS;
unsigned short rows = FALLBACK_ROWS;

std::optional<int> parseDescriptor(std::string_view text) noexcept;
void startDisplay(const ProgressNode* root) noexcept;
std::optional<std::string_view> spawnDisplayThread(Mode mode, const ProgressNode* root) noexcept;
void stopDisplay() noexcept;
void runTicks(void (*tick)(Snapshot&)) noexcept;

void noteResize(int) noexcept;
void installResizeHandler() noexcept;
void restoreResizeHandler() noexcept;
void querySize() noexcept;
std::size_t writeErase(std::span<char> out, std::size_t lines) noexcept;
void eraseDrawnLines() noexcept;
void drawTick(Snapshot& snap) noexcept;
void drawMain() noexcept;

int waitWritable(int fd, Clock::time_point deadline) noexcept;
int writeFrame(int fd, std::span<const std::byte> frame, Clock::time_point deadline) noexcept;
void sendFrame(std::span<const std::byte> frame, Clock::time_point deadline) noexcept;
void sendTick(Snapshot& snap) noexcept;
void sendMain() noexcept;

// ---------------------------------------------------------------------------------------------

ProgressNode* claim(ProgressNode* parent, std::string_view name, std::uint64_t total) noexcept {
  std::lock_guard lock(tree_mutex);
  for (ProgressNode& node : nodes) {
    if (node.live) continue;
    node = ProgressNode{name, total, 0, parent, next_start_order, true};
    checkedIncrement(next_start_order);
    return &node;
  }
  return nullptr;  // more nodes than the pool holds: the caller's work goes on untracked
}

void copySubtree(Snapshot& snap, const ProgressNode& node, std::uint32_t parent_index) noexcept {
  if (snap.count == snap.entries.size()) return;
  const auto index = static_cast<std::uint32_t>(snap.count++);
  const std::size_t name_len = std::min(node.name.size(), snap.names.size() - snap.names_used);
  char* name = snap.names.data() + snap.names_used;
  std::memcpy(name, node.name.data(), name_len);
  snap.names_used += name_len;
  snap.entries[index] = ProgressEntry{parent_index, node.completed, node.estimated_total,
                                      std::string_view(name, name_len)};
  // Children in start order: repeatedly pick the oldest child started after the previous one.
  std::uint64_t after = 0;
  for (;;) {
    const ProgressNode* next = nullptr;
    for (const ProgressNode& child : nodes) {
      if (!child.live || child.parent != &node || child.start_order <= after) continue;
      if (next == nullptr || child.start_order < next->start_order) next = &child;
    }
    if (next == nullptr) return;
    copySubtree(snap, *next, index);
    after = next->start_order;
  }
}

void takeSnapshot(Snapshot& snap, const ProgressNode* root) noexcept {
  std::lock_guard lock(tree_mutex);
  snap.count = 0;
  snap.names_used = 0;
  if (root->live) copySubtree(snap, *root, PROGRESS_NO_PARENT);
}

std::optional<int> parseDescriptor(std::string_view text) noexcept {
  int fd = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || fd < 0) {
    return std::nullopt;
  }
  return fd;
}

void startDisplay(const ProgressNode* root) noexcept {
  display.started_at = Clock::now();
  if (const char* fd_text = std::getenv(PROGRESS_FD_VARIABLE)) {
    const std::optional<int> fd = parseDescriptor(fd_text);
    if (!fd) {
      logWith(LogLevel::warn, SCOPE, [fd_text](Writer& w) {
        w.put("invalid ").put(PROGRESS_FD_VARIABLE).put(" value '").put(fd_text);
        w.put("': expected a file descriptor number; not reporting progress");
      });
      return;
    }
    display.parent_fd = *fd;
    if (const auto failure = spawnDisplayThread(Mode::parent, root)) {
      logWith(LogLevel::warn, SCOPE, [&failure](Writer& w) {
        w.put("failed to spawn IPC thread for communicating progress to parent: ").put(*failure);
      });
    }
    return;
  }
  if (!stderrAcceptsEscapes()) return;
  installResizeHandler();
  setStderrClearHook(eraseDrawnLines);
  terminal_drawing.store(true);
  if (const auto failure = spawnDisplayThread(Mode::terminal, root)) {
    terminal_drawing.store(false);
    setStderrClearHook(nullptr);
    restoreResizeHandler();
    logWith(LogLevel::warn, SCOPE, [&failure](Writer& w) {
      w.put("unable to spawn thread for printing progress to terminal: ").put(*failure);
    });
  }
}

// Returns the name of the error when the thread could not be started.
std::optional<std::string_view> spawnDisplayThread(Mode mode, const ProgressNode* root) noexcept {
  display.stop = false;
  display.root = root;
  display.mode = mode;
  // std::thread reports a refused thread by exception; it ends here as an error value.
  try {
    display.thread = std::thread(mode == Mode::terminal ? drawMain : sendMain);
    return std::nullopt;
  } catch (const std::system_error& e) {
    display.mode = Mode::none;
    display.root = nullptr;
    return errnoName(e.code().value());
  } catch (const std::bad_alloc&) {
    display.mode = Mode::none;
    display.root = nullptr;
    return "OutOfMemory";
  }
}

void stopDisplay() noexcept {
  {
    std::lock_guard lock(display.control_mutex);
    display.stop = true;
  }
  display.wake.notify_one();
  if (display.thread.joinable()) display.thread.join();
  if (display.mode == Mode::terminal) restoreResizeHandler();
  display.mode = Mode::none;
  display.root = nullptr;
}

// Calls `tick` first INITIAL_DELAY after the start, then every REFRESH_INTERVAL, until stopped.
void runTicks(void (*tick)(Snapshot&)) noexcept {
  static Snapshot snap;  // only the display thread touches it
  Clock::time_point next = display.started_at + INITIAL_DELAY;
  std::unique_lock lock(display.control_mutex);
  while (!display.wake.wait_until(lock, next, [] { return display.stop; })) {
    lock.unlock();
    tick(snap);
    lock.lock();
    next = Clock::now() + REFRESH_INTERVAL;
  }
}

// ---------------------------------------------------------------------------------------------
// Drawing on the terminal

void noteResize(int) noexcept {
  resized.store(true, std::memory_order_relaxed);
}

void installResizeHandler() noexcept {
  struct sigaction action {};
  action.sa_handler = noteResize;
  sigemptyset(&action.sa_mask);
  // Restarting keeps a resize from failing the main thread's reads and writes with EINTR.
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGWINCH, &action, &display.previous_resize_action) != 0) {
    const std::string_view name = errnoName(errno);
    logWith(LogLevel::warn, SCOPE, [name](Writer& w) {
      w.put("failed to install SIGWINCH signal handler for noticing terminal resizes: ").put(name);
    });
    return;
  }
  display.resize_handler_installed = true;
  resized.store(true, std::memory_order_relaxed);
}

void restoreResizeHandler() noexcept {
  if (!display.resize_handler_installed) return;
  ::sigaction(SIGWINCH, &display.previous_resize_action, nullptr);
  display.resize_handler_installed = false;
}

// Called without the standard-error lock: the fallback message is logged, which takes it.
void querySize() noexcept {
  winsize size{};
  if (::ioctl(errorSink(), TIOCGWINSZ, &size) == 0 && size.ws_col != 0 && size.ws_row != 0) {
    columns = size.ws_col;
    rows = size.ws_row;
    return;
  }
  columns = FALLBACK_COLUMNS;
  rows = FALLBACK_ROWS;
  log(LogLevel::debug, SCOPE, "failed to determine terminal size; using conservative guess 80x25");
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

// The clear hook of the standard-error lock: runs with the lock held.
void eraseDrawnLines() noexcept {
  char buf[32];
  const std::size_t len = writeErase(buf, drawn_lines.exchange(0));
  writeAll(errorSink(), buf, len);  // a failing terminal is not worth failing the run for
}

void drawTick(Snapshot& snap) noexcept {
  if (resized.exchange(false, std::memory_order_relaxed)) querySize();
  takeSnapshot(snap, display.root);
  // Never wait for the lock: a busy standard error only costs this one redraw.
  if (!stderrTryLock()) return;
  // A report that took the lock before us has erased the drawing and must stay below nothing.
  if (reporting.load()) {
    stderrUnlock();
    return;
  }
  // Erasing and redrawing go out in one write, so the terminal never shows a half-drawn tree.
  std::array<char, DRAW_BUFFER_SIZE> buf;
  const std::size_t erase_len = writeErase(buf, drawn_lines.load());
  // One row stays free: a drawing as tall as the screen would scroll its top line out of reach.
  const ProgressText text = formatProgressLines(snap.view(), columns, std::size_t{rows} - 1,
                                                std::span(buf).subspan(erase_len));
  writeAll(errorSink(), buf.data(), erase_len + text.size);
  drawn_lines = text.lines;
  stderrUnlock();
}

void drawMain() noexcept {
  runTicks(drawTick);
  // Taking the lock runs the clear hook once more; removing it under the lock leaves the terminal
  // clean for whatever is printed next.
  StderrLock lock;
  setStderrClearHook(nullptr);
  terminal_drawing.store(false);
}

// ---------------------------------------------------------------------------------------------
// Sending to a parent process

// 0 once `fd` takes a write of up to 4096 bytes without blocking, EAGAIN when it still does not at
// `deadline`. A pipe reports that only with a whole free page, which such a write never outgrows.
int waitWritable(int fd, Clock::time_point deadline) noexcept {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready > 0) return 0;  // an error condition too: the write names it
    if (ready == 0) return EAGAIN;
    if (errno != EINTR) return errno;
  }
}

// Writes `frame` as one piece; 0, or the errno that kept it from going out. The parent's
// descriptor is left blocking, as its open file description is shared with the parent: waiting is
// bounded by polling first instead.
int writeFrame(int fd, std::span<const std::byte> frame, Clock::time_point deadline) noexcept {
  std::size_t done = 0;
  while (done < frame.size()) {
    int failure = waitWritable(fd, deadline);
    if (failure == 0) {
      const ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      failure = n < 0 ? errno : EIO;
      if (failure == EINTR) continue;
    }
    // Only a descriptor that is not a pipe takes part of a frame; the rest never following would
    // shift every later frame.
    if (done > 0) parent_stream_cut = true;
    return failure;
  }
  return 0;
}

// Sends one frame whole or not at all; a frame that cannot go out by `deadline` is dropped. Each
// frame holds the whole tree, so a dropped one only delays the parent's view.
void sendFrame(std::span<const std::byte> frame, Clock::time_point deadline) noexcept {
  if (parent_stream_cut) return;
  if (const int failure = writeFrame(display.parent_fd, frame, deadline)) {
    const std::string_view name = errnoName(failure);
    logWith(LogLevel::debug, SCOPE,
            [name](Writer& w) { w.put("failed to send progress to parent process: ").put(name); });
  }
}

void sendTick(Snapshot& snap) noexcept {
  takeSnapshot(snap, display.root);
  // At most 4096 bytes, which a pipe takes in one piece, so frames never interleave.
  std::array<std::byte, DRAW_BUFFER_SIZE> frame;
  // A parent that does not keep up must not slow the run, nor its end: no waiting here.
  sendFrame(std::span(frame).first(encodeProgressFrame(snap.view(), frame)), Clock::now());
}

void sendMain() noexcept {
  runTicks(sendTick);
  std::array<std::byte, 8> frame;
  sendFrame(std::span(frame).first(encodeProgressFrame({}, frame)),
            Clock::now() + FINAL_FRAME_WAIT);
}

}  // namespace

ProgressNode* progressStart(std::string_view root_name, std::uint64_t estimated_total) noexcept {
  ProgressNode* root = claim(nullptr, root_name, estimated_total);
  if (root != nullptr && display.mode == Mode::none) startDisplay(root);
  return root;
}

ProgressNode* progressStartChild(ProgressNode* parent, std::string_view name,
                                 std::uint64_t estimated_total) noexcept {
  if (parent == nullptr) return nullptr;
  return claim(parent, name, estimated_total);
}

void progressEraseForReport() noexcept {
  reporting.store(true);
  if (!terminal_drawing.load()) return;
  // The lock is held only for a write, unless its holder stopped for good (this very thread in the
  // middle of a print, or a thread blocked on a terminal that does not read): try only briefly.
  // A failed try_lock is one atomic operation and nanosleep is async-signal-safe, so this holds
  // in a fault handler too. A lock taken here is never released: the process is ending, and
  // nothing else may print into the report.
  for (int attempt = 0; attempt < REPORT_LOCK_ATTEMPTS && !stderrTryLock(); ++attempt) {
    ::nanosleep(&REPORT_LOCK_PAUSE, nullptr);
  }
  // Without the lock the count could be stale only while its holder is drawing, which takes
  // microseconds; a holder still busy after the attempts is stuck elsewhere and drew nothing
  // new, so erasing by the count removes exactly what is on the screen.
  char buf[32];
  writeAll(errorSink(), buf, writeErase(buf, drawn_lines.exchange(0)));
}

void progressEnd(ProgressNode* node) noexcept {
  if (node == nullptr) return;
  {
    std::lock_guard lock(tree_mutex);
    if (!node->live) return;
    if (node->parent != nullptr) checkedIncrement(node->parent->completed);
    node->live = false;
    // Children that outlive their parent are no longer drawn; detaching them also keeps a later
    // node in this slot from adopting them.
    for (ProgressNode& child : nodes) {
      if (child.parent == node) child.parent = nullptr;
    }
  }
  if (node == display.root) stopDisplay();
}

}  // namespace vesk
