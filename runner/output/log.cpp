#include <vesk/log.hpp>

#include "stderr_lock.hpp"

namespace vesk {

std::atomic<std::uint64_t> log_err_count{0};
std::atomic<LogLevel> log_level{LogLevel::warn};

namespace {

void countError() noexcept {
  std::uint64_t seen = log_err_count.load(std::memory_order_relaxed);
  while (seen != UINT64_MAX &&
         !log_err_count.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed)) {
  }
}

}  // namespace

std::string_view logLevelName(LogLevel level) noexcept {
  switch (level) {
    case LogLevel::err:
      return "err";
    case LogLevel::warn:
      return "warn";
    case LogLevel::info:
      return "info";
    case LogLevel::debug:
      return "debug";
  }
  return "err";
}

void logWith(LogLevel level, std::string_view scope, void (*body)(Writer&, const void*),
             const void* context) noexcept {
  if (level == LogLevel::err) {
    countError();
  } else if (static_cast<std::uint8_t>(level) >
             static_cast<std::uint8_t>(log_level.load(std::memory_order_relaxed))) {
    return;
  }
  LockedStderr locked;
  Writer& out = locked.out;
  out.put("[").put(scope).put("] (").put(logLevelName(level)).put("): ");
  body(out, context);
  out.put("\n");
}

void log(LogLevel level, std::string_view scope, std::string_view message) noexcept {
  logWith(level, scope, [message](Writer& w) { w.put(message); });
}

}  // namespace vesk
