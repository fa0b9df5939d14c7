#include "report.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include <vesk/log.hpp>
#include "stderr_lock.hpp"
#include "writer.hpp"

namespace vesk::driver {

namespace {

using namespace std::chrono_literals;

// Lines for a log wait at most this long, or until this many bytes are queued.
constexpr auto FLUSH_INTERVAL = 100ms;
constexpr std::size_t FLUSH_BYTES = std::size_t{32} * 1024;

void appendNumber(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// "0.04 ms" below a second, "1.25 s" from there on.
void appendDuration(std::string& out, double seconds) {
  char text[32];
  const int n = seconds < 1 ? std::snprintf(text, sizeof text, "%.2f ms", seconds * 1000)
                            : std::snprintf(text, sizeof text, "%.2f s", seconds);
  out.append(text, std::min(static_cast<std::size_t>(std::max(n, 0)), sizeof text - 1));
}

std::string_view resultWord(Outcome outcome) {
  switch (outcome) {
    case Outcome::passed:
      return "OK";
    case Outcome::failed:
      return "FAIL";
    case Outcome::skipped:
      return "SKIP";
    case Outcome::crashed:
      return "CRASH";
    case Outcome::timed_out:
      return "TIMEOUT";
  }
  return "?";
}

// ---------------------------------------------------------------------------------------------
// XML

// The length of the UTF-8 sequence at the start of `text` when it encodes a character XML 1.0
// allows, else 0.
std::size_t xmlCharLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
  }
  std::size_t len = 0;
  char32_t cp = 0;
  if ((lead & 0xE0) == 0xC0) {
    len = 2;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = cp >= smallest[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) &&
                     cp != 0xFFFE && cp != 0xFFFF;
  return valid ? len : 0;
}

// Appends `text` escaped for element content or (with `attribute`) a quoted attribute value.
// Bytes that are not a character XML allows (control characters, broken UTF-8) become U+FFFD.
void appendEscaped(std::string& out, std::string_view text, bool attribute) {
  while (!text.empty()) {
    const std::size_t len = xmlCharLength(text);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(1);
      continue;
    }
    const char c = text[0];
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (attribute && c == '"') {
      out += "&quot;";
    } else if (attribute && (c == '\n' || c == '\r' || c == '\t')) {
      // Kept as references: a parser turns a literal one into a space in an attribute.
      out += c == '\n' ? "&#10;" : c == '\r' ? "&#13;" : "&#9;";
    } else if (c == '\r') {
      out += "&#13;";  // a literal one would be read as a line end
    } else {
      out.append(text.substr(0, len));
    }
    text.remove_prefix(len);
  }
}

void appendAttribute(std::string& out, std::string_view name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  appendEscaped(out, value, true);
  out += '"';
}

void appendSeconds(std::string& out, std::string_view name, double seconds) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%.6f", seconds);
  appendAttribute(
      out, name,
      std::string_view(text, std::min(static_cast<std::size_t>(std::max(n, 0)), sizeof text - 1)));
}

std::string failureMessage(const CaseResult& result) {
  std::string message;
  const auto add = [&](std::string_view part) {
    if (!message.empty()) message += "; ";
    message += part;
  };
  if (result.outcome == Outcome::failed) add("the case failed");
  if (result.leaked) add("it leaked memory");
  if (result.log_errors != 0) add(std::to_string(result.log_errors) + " errors were logged");
  return message;
}

std::expected<void, std::string> writeFileAtomically(const std::string& path,
                                                     std::string_view bytes) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return std::unexpected("cannot write '" + temporary + "': " + std::string(errnoName(errno)));
  }
  int failure = writeAll(fd, bytes.data(), bytes.size());
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temporary.c_str());
    return std::unexpected("cannot write '" + path + "': " + std::string(errnoName(failure)));
  }
  return {};
}

}  // namespace

Tally tally(std::span<const CaseResult> results) noexcept {
  Tally t;
  for (const CaseResult& result : results) {
    switch (result.outcome) {
      case Outcome::passed:
        ++t.passed;
        break;
      case Outcome::failed:
        ++t.failed;
        break;
      case Outcome::skipped:
        ++t.skipped;
        break;
      case Outcome::crashed:
        ++t.crashed;
        break;
      case Outcome::timed_out:
        ++t.timed_out;
        break;
    }
    if (result.leaked) ++t.leaked;
    t.log_errors += result.log_errors;
  }
  return t;
}

Reporter::Reporter(std::span<const std::string> names, std::span<const std::uint32_t> selected,
                   bool verbose)
    : names_(names),
      selected_(selected),
      verbose_(verbose),
      have_tty_(::isatty(errorSink()) == 1),
      nodes_(selected.size(), nullptr),
      slot_of_index_(names.size(), 0),
      last_flush_(Clock::now()) {
  for (std::size_t slot = 0; slot < selected.size(); ++slot)
    slot_of_index_[selected[slot]] = slot;
  queued_.reserve(FLUSH_BYTES + 4096);
  root_ = progressStart("Test", selected.size());
}

Reporter::~Reporter() {
  if (root_ != nullptr) progressEnd(root_);
}

void Reporter::caseStarted(std::size_t slot) {
  nodes_[slot] = progressStartChild(root_, names_[selected_[slot]], 0);
}

void Reporter::caseFinished(const CaseResult& result) {
  ++done_;
  progressEnd(nodes_[slot_of_index_[result.index]]);
  const bool bad = !isClean(result);
  // On a terminal the display names the running cases; lines are for what needs a look.
  if (have_tty_ && !bad && !verbose_ && result.outcome != Outcome::skipped) return;

  appendNumber(queued_, done_);
  queued_ += '/';
  appendNumber(queued_, selected_.size());
  queued_ += ' ';
  queued_ += names_[result.index];
  queued_ += "...";
  queued_ += resultWord(result.outcome);
  if (!result.end_message.empty()) {
    queued_ += " (";
    queued_ += result.end_message;
    queued_ += ')';
  }
  if (result.leaked) queued_ += ", leaked memory";
  if (result.log_errors != 0) {
    queued_ += ", ";
    appendNumber(queued_, result.log_errors);
    queued_ += " errors logged";
  }
  queued_ += " [";
  appendDuration(queued_, result.seconds);
  queued_ += "]\n";
  if ((bad || verbose_) && !result.output.empty()) {
    queued_ += result.output;
    if (result.output.back() != '\n') queued_ += '\n';
  }
  if (have_tty_ || queued_.size() >= FLUSH_BYTES) flush();
}

Clock::time_point Reporter::flushIfDue(Clock::time_point now) {
  if (queued_.empty()) return Clock::time_point::max();
  if (now - last_flush_ < FLUSH_INTERVAL) return last_flush_ + FLUSH_INTERVAL;
  flush();
  return Clock::time_point::max();
}

void Reporter::flush() {
  last_flush_ = Clock::now();
  if (queued_.empty()) return;
  StderrLock lock;  // erases the progress display first
  writeAll(errorSink(), queued_.data(), queued_.size());
  queued_.clear();
}

void Reporter::abandon() {
  if (root_ != nullptr) progressEnd(root_);
  root_ = nullptr;
  flush();
}

void Reporter::finish(std::span<const CaseResult> results, double seconds) {
  abandon();
  const Tally t = tally(results);
  LockedStderr locked;
  Writer& out = locked.out;
  if (t.passed == results.size()) {
    out.put("All ").dec(t.passed).put(" tests passed.\n");
  } else {
    out.dec(t.passed).put(" passed; ").dec(t.skipped).put(" skipped; ").dec(t.failed);
    out.put(" failed");
    if (t.crashed != 0 || t.timed_out != 0) {
      out.put("; ").dec(t.crashed).put(" crashed; ").dec(t.timed_out).put(" timed out");
    }
    out.put(".\n");
  }
  if (t.log_errors != 0) out.dec(t.log_errors).put(" errors were logged.\n");
  if (t.leaked != 0) out.dec(t.leaked).put(" tests leaked memory.\n");
  std::string total;
  appendDuration(total, seconds);
  out.put("Finished in ").put(total).put(".\n");
}

std::expected<void, std::string> writeJunit(const std::string& path, std::string_view suite,
                                            std::span<const std::string> names,
                                            std::span<const CaseResult> results, double seconds) {
  std::uint64_t failures = 0, errors = 0, skipped = 0;
  for (const CaseResult& result : results) {
    if (result.outcome == Outcome::crashed || result.outcome == Outcome::timed_out) {
      ++errors;
    } else if (!isClean(result)) {
      ++failures;
    } else if (result.outcome == Outcome::skipped) {
      ++skipped;
    }
  }
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites";
  const auto counts = [&] {
    appendAttribute(xml, "tests", std::to_string(results.size()));
    appendAttribute(xml, "failures", std::to_string(failures));
    appendAttribute(xml, "errors", std::to_string(errors));
    appendAttribute(xml, "skipped", std::to_string(skipped));
    appendSeconds(xml, "time", seconds);
  };
  counts();
  xml += ">\n  <testsuite";
  appendAttribute(xml, "name", suite);
  counts();
  xml += ">\n";
  for (const CaseResult& result : results) {
    const std::string_view name = names[result.index];
    const std::size_t split = name.find(".test.");
    xml += "    <testcase";
    appendAttribute(xml, "classname",
                    split == std::string_view::npos ? suite : name.substr(0, split));
    appendAttribute(xml, "name", split == std::string_view::npos ? name : name.substr(split + 6));
    appendSeconds(xml, "time", result.seconds);
    xml += ">\n";
    if (result.outcome == Outcome::crashed || result.outcome == Outcome::timed_out) {
      xml += "      <error";
      appendAttribute(xml, "message", result.end_message);
      appendAttribute(xml, "type", result.outcome == Outcome::crashed ? "crash" : "timeout");
      xml += "/>\n";
    } else if (!isClean(result)) {
      xml += "      <failure";
      appendAttribute(xml, "message", failureMessage(result));
      appendAttribute(xml, "type", "failure");
      xml += "/>\n";
    } else if (result.outcome == Outcome::skipped) {
      xml += "      <skipped/>\n";
    }
    if (!result.output.empty()) {
      xml += "      <system-err>";
      appendEscaped(xml, result.output, false);
      xml += "</system-err>\n";
    }
    xml += "    </testcase>\n";
  }
  xml += "  </testsuite>\n</testsuites>\n";
  return writeFileAtomically(path, xml);
}

std::expected<void, std::string> checkJunitPath(const std::string& path) {
  const auto refuse = [&](int code) -> std::expected<void, std::string> {
    return std::unexpected("cannot write '" + path + "': " + std::string(errnoName(code)));
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return refuse(EISDIR);
  // The temporary file is created beside the report, so its directory must take new files.
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return refuse(errno);
  return {};
}

}  // namespace vesk::driver
