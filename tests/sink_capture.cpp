#include "sink_capture.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include <vesk/sink.hpp>

namespace vesk::testing {

SinkCapture::SinkCapture() : fd_(::memfd_create("vesk-sink", MFD_CLOEXEC)) {
  if (fd_ < 0) std::abort();
  previous_ = setErrorSink(fd_);
}

SinkCapture::~SinkCapture() {
  setErrorSink(previous_);
  ::close(fd_);
}

std::string SinkCapture::take() {
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  off_t at = 0;
  while ((n = ::pread(fd_, buf, sizeof buf, at)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) std::abort();
  return text;
}

}  // namespace vesk::testing
