#include "junit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include <vesk/log.hpp>
#include "writer.hpp"

namespace vesk::driver {

namespace {

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
  static constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = cp >= SMALLEST[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) &&
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

void appendCounts(std::string& xml, std::size_t tests, std::uint64_t failures, std::uint64_t errors,
                  std::uint64_t skipped, double seconds) {
  appendAttribute(xml, "tests", std::to_string(tests));
  appendAttribute(xml, "failures", std::to_string(failures));
  appendAttribute(xml, "errors", std::to_string(errors));
  appendAttribute(xml, "skipped", std::to_string(skipped));
  appendSeconds(xml, "time", seconds);
}

// One element per try before the last, in the form CI servers read as a flaky or a rerun case:
// flakyFailure when the case passed in the end, rerunFailure when every try went wrong.
void appendEarlierTries(std::string& xml, const CaseResult& result) {
  const std::string_view element = isFlaky(result) ? "flakyFailure" : "rerunFailure";
  for (const EarlierTry& earlier : result.earlier_tries) {
    xml += "      <";
    xml += element;
    appendAttribute(
        xml, "message",
        earlier.end_message.empty() ? std::string("the case failed") : earlier.end_message);
    appendAttribute(xml, "type",
                    earlier.outcome == Outcome::crashed     ? "crash"
                    : earlier.outcome == Outcome::timed_out ? "timeout"
                                                            : "failure");
    appendSeconds(xml, "time", earlier.seconds);
    xml += ">\n";
    if (!earlier.output.empty()) {
      xml += "        <system-err>";
      appendEscaped(xml, earlier.output, false);
      xml += "</system-err>\n";
    }
    xml += "      </";
    xml += element;
    xml += ">\n";
  }
}

void appendCase(std::string& xml, std::string_view suite, std::string_view name,
                const CaseResult& result) {
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
  } else if (result.outcome == Outcome::interrupted) {
    xml += "      <skipped message=\"interrupted\"/>\n";
  } else if (result.outcome == Outcome::not_run) {
    xml += "      <skipped message=\"not run\"/>\n";
  } else if (!isClean(result)) {
    xml += "      <failure";
    appendAttribute(xml, "message", problemMessage(result));
    appendAttribute(xml, "type", "failure");
    xml += "/>\n";
  } else if (result.outcome == Outcome::skipped) {
    xml += "      <skipped/>\n";
  }
  appendEarlierTries(xml, result);
  if (!result.output.empty()) {
    xml += "      <system-err>";
    appendEscaped(xml, result.output, false);
    xml += "</system-err>\n";
  }
  xml += "    </testcase>\n";
}

// The servers that did not end cleanly, as one test case of the suite in error: CI systems show
// a suite's own errors unevenly, a failing test case everywhere.
void appendExitProblems(std::string& xml, std::string_view suite,
                        std::span<const ServerExitProblem> problems) {
  std::string message;
  std::string output;
  for (const ServerExitProblem& problem : problems) {
    if (!message.empty()) message += "; ";
    message += problem.message;
    output += problem.output;
  }
  xml += "    <testcase";
  appendAttribute(xml, "classname", suite);
  appendAttribute(xml, "name", "server exit");
  xml += " time=\"0\">\n      <error";
  appendAttribute(xml, "message", message);
  appendAttribute(xml, "type", "server exit");
  xml += "/>\n";
  if (!output.empty()) {
    xml += "      <system-err>";
    appendEscaped(xml, output, false);
    xml += "</system-err>\n";
  }
  xml += "    </testcase>\n";
}

std::string cannotWrite(const std::string& path, int code) {
  return "cannot write '" + path + "': " + std::string(errnoName(code));
}

// The file `path` names: symbolic links followed (a relative target read beside its link), up
// to a missing one, which names a new file.
std::expected<std::string, int> followLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return path;
      return std::unexpected(errno);
    }
    if (!S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::unexpected(errno);
    target.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (target.starts_with('/') || slash == std::string::npos) {
      path = std::move(target);
    } else {
      path.resize(slash + 1);
      path += target;
    }
  }
  return std::unexpected(ELOOP);
}

std::expected<void, std::string> writeDirectly(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::unexpected(cannotWrite(path, errno));
  int failure = writeAll(fd, bytes.data(), bytes.size());
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) return std::unexpected(cannotWrite(path, failure));
  return {};
}

std::expected<void, std::string> writeAtomically(const std::string& path, std::string_view bytes) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::unexpected(cannotWrite(temporary, errno));
  int failure = writeAll(fd, bytes.data(), bytes.size());
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temporary.c_str());
    return std::unexpected(cannotWrite(path, failure));
  }
  return {};
}

}  // namespace

std::string junitReport(std::string_view suite, std::span<const std::string> names,
                        std::span<const CaseResult> results,
                        std::span<const ServerExitProblem> problems, double seconds) {
  std::uint64_t failures = 0, errors = problems.empty() ? 0 : 1, skipped = 0;
  for (const CaseResult& result : results) {
    if (result.outcome == Outcome::crashed || result.outcome == Outcome::timed_out) {
      ++errors;
    } else if (!isClean(result) && finished(result)) {
      ++failures;
    } else if (result.outcome == Outcome::skipped || !finished(result)) {
      ++skipped;
    }
  }
  const std::size_t tests = results.size() + (problems.empty() ? 0 : 1);
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites";
  appendCounts(xml, tests, failures, errors, skipped, seconds);
  xml += ">\n  <testsuite";
  appendAttribute(xml, "name", suite);
  appendCounts(xml, tests, failures, errors, skipped, seconds);
  xml += ">\n";
  for (const CaseResult& result : results)
    appendCase(xml, suite, names[result.index], result);
  if (!problems.empty()) appendExitProblems(xml, suite, problems);
  xml += "  </testsuite>\n</testsuites>\n";
  return xml;
}

std::expected<void, std::string> writeReportFile(const std::string& path, std::string_view report) {
  const auto target = followLinks(path);
  if (!target) return std::unexpected(cannotWrite(path, target.error()));
  struct stat st {};
  if (::stat(target->c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) return std::unexpected(cannotWrite(path, EISDIR));
    return writeDirectly(*target, report);
  }
  return writeAtomically(*target, report);
}

std::expected<void, std::string> checkReportPath(const std::string& path) {
  const auto target = followLinks(path);
  if (!target) return std::unexpected(cannotWrite(path, target.error()));
  struct stat st {};
  if (::stat(target->c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::unexpected(cannotWrite(path, EISDIR));
    if (!S_ISREG(st.st_mode)) {
      if (::access(target->c_str(), W_OK) != 0) return std::unexpected(cannotWrite(path, errno));
      return {};
    }
  }
  // The temporary file is created beside the report, so its directory must take new files.
  const std::size_t slash = target->rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target->substr(0, slash + 1);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return std::unexpected(cannotWrite(path, errno));
  return {};
}

}  // namespace vesk::driver
