#include "writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace vesk {

namespace {

// Rewrites the standard library's shortest scientific form ("1e+00", "-2.5e-07") into the
// printed form: no plus sign and no leading zeros in the exponent ("1e0", "-2.5e-7").
template <class F>
std::string_view formatShortest(std::span<char, 32> out, F value) noexcept {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char raw[40];
  const auto end = std::to_chars(raw, raw + sizeof raw, value, std::chars_format::scientific).ptr;
  const std::string_view text(raw, static_cast<std::size_t>(end - raw));
  const std::size_t e = text.find('e');
  std::size_t n = 0;
  auto emit = [&](std::string_view s) {
    std::memcpy(out.data() + n, s.data(), s.size());
    n += s.size();
  };
  emit(text.substr(0, e + 1));
  std::string_view exponent = text.substr(e + 1);
  if (exponent.front() == '-') {
    emit("-");
    exponent.remove_prefix(1);
  } else if (exponent.front() == '+') {
    exponent.remove_prefix(1);
  }
  while (exponent.size() > 1 && exponent.front() == '0')
    exponent.remove_prefix(1);
  emit(exponent);
  return std::string_view(out.data(), n);
}

}  // namespace

Writer& Writer::put(std::string_view text) noexcept {
  while (!text.empty()) {
    if (len_ == sizeof buf_) flush();
    const std::size_t n = std::min(text.size(), sizeof buf_ - len_);
    std::memcpy(buf_ + len_, text.data(), n);
    len_ += n;
    text.remove_prefix(n);
  }
  return *this;
}

Writer& Writer::dec(std::uint64_t value) noexcept {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

Writer& Writer::hex(std::uint64_t value) noexcept {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

std::string_view formatFloat(std::span<char, 32> out, double value) noexcept {
  return formatShortest(out, value);
}

std::string_view formatFloat(std::span<char, 32> out, float value) noexcept {
  return formatShortest(out, value);
}

Writer& Writer::flt(double value) noexcept {
  char buf[32];
  return put(formatFloat(buf, value));
}

Writer& Writer::flt(float value) noexcept {
  char buf[32];
  return put(formatFloat(buf, value));
}

void Writer::flush() noexcept {
  writeAll(fd_, buf_, len_);  // nowhere left to report a failing output
  flushed_ += len_;
  len_ = 0;
}

int writeAll(int fd, const void* data, std::size_t len) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = ::write(fd, bytes, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // no progress is possible; never spin on it
    bytes += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

std::string_view errnoName(int code) noexcept {
  const char* name = ::strerrorname_np(code);
  return name != nullptr ? std::string_view(name) : std::string_view("Unexpected");
}

}  // namespace vesk
