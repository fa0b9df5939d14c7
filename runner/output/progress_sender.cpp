#include "progress_sender.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "writer.hpp"

namespace vesk {

namespace {

constexpr std::string_view SCOPE = "default";
// At most what a pipe takes in one piece, so frames never interleave.
constexpr std::size_t FRAME_BUFFER_SIZE = 4096;
// How long the final frame may wait for a parent that does not read. Frames during the run never
// wait, so this is all that sending adds to the end of a run.
constexpr auto FINAL_FRAME_WAIT = std::chrono::milliseconds(90);

}  // namespace

void ProgressSender::send(const ProgressSnapshot& snapshot) noexcept {
  std::array<std::byte, FRAME_BUFFER_SIZE> frame;
  // A parent that does not keep up must not slow the run, nor its end: no waiting here.
  sendFrame(std::span(frame).first(encodeProgressFrame(snapshot.view(), frame)), clock_.now());
}

void ProgressSender::end() noexcept {
  std::array<std::byte, 8> frame;
  sendFrame(std::span(frame).first(encodeProgressFrame({}, frame)),
            clock_.now() + FINAL_FRAME_WAIT);
}

// 0 once the descriptor takes a write of up to 4096 bytes without blocking, EAGAIN when it still
// does not at `deadline`. A pipe reports that only with a whole free page, which such a write
// never outgrows.
int ProgressSender::waitWritable(ProgressClock::TimePoint deadline) const noexcept {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_.now());
    pollfd p{fd_, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready > 0) return 0;  // an error condition too: the write names it
    if (ready == 0) return EAGAIN;
    if (errno != EINTR) return errno;
  }
}

// Writes `frame` as one piece; 0, or the errno that kept it from going out. The parent's
// descriptor is left blocking, as its open file description is shared with the parent: waiting is
// bounded by polling first instead.
int ProgressSender::writeFrame(std::span<const std::byte> frame,
                               ProgressClock::TimePoint deadline) noexcept {
  std::size_t done = 0;
  while (done < frame.size()) {
    int failure = waitWritable(deadline);
    if (failure == 0) {
      const ssize_t n = ::write(fd_, frame.data() + done, frame.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      failure = n < 0 ? errno : EIO;
      if (failure == EINTR) continue;
    }
    // Only a descriptor that is not a pipe takes part of a frame; the rest never following would
    // shift every later frame.
    if (done > 0) stream_cut_ = true;
    return failure;
  }
  return 0;
}

void ProgressSender::sendFrame(std::span<const std::byte> frame,
                               ProgressClock::TimePoint deadline) noexcept {
  if (stream_cut_) return;
  if (const int failure = writeFrame(frame, deadline)) {
    const std::string_view name = errnoName(failure);
    logWith(LogLevel::debug, SCOPE,
            [name](Writer& w) { w.put("failed to send progress to parent process: ").put(name); });
  }
}

}  // namespace vesk
