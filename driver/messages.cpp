#include "messages.hpp"

#include <cstdio>
#include <unordered_map>

namespace vesk::driver {

std::string quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

std::string hex(std::uint32_t value) {
  char text[16];
  const int n = std::snprintf(text, sizeof text, "0x%x", value);
  return std::string(text, static_cast<std::size_t>(n));
}

std::string describeEnd(const ServerEnd& end) {
  if (end.signal != 0) return "ended by " + signalName(end.signal);
  return "exited with status " + std::to_string(end.exit_code);
}

std::string_view firstLine(std::string_view text) {
  return text.substr(0, text.find('\n'));
}

std::string preview(std::span<const std::byte> bytes) {
  std::string text = "\"";
  for (std::byte b : bytes) {
    const auto c = std::to_integer<unsigned char>(b);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      (void)std::snprintf(escaped, sizeof escaped, "\\x%02x", c);  // 4 bytes and the end fit
      text += escaped;
    }
  }
  return text + "\"";
}

std::expected<Step, std::string> takeVersion(FrameQueue& replies, std::string_view executable) {
  constexpr std::size_t MAX_VERSION_LEN = 64;
  const MessageHeader header = replies.header();
  if (header.tag != static_cast<std::uint32_t>(ProgramTag::toolchain_version) ||
      header.bytes_len > MAX_VERSION_LEN) {
    return std::unexpected(
        quoted(executable) + " is not a harness executable: its first message has tag " +
        hex(header.tag) + " and " + std::to_string(header.bytes_len) +
        " bytes, not the protocol version; its output starts with " + preview(replies.front(32)));
  }
  if (!replies.hasMessage()) return Step::wait;
  const std::span<const std::byte> body = replies.body();
  const std::string_view version(reinterpret_cast<const char*>(body.data()), body.size());
  if (version != TOOLCHAIN_VERSION) {
    return std::unexpected(quoted(executable) + " speaks protocol version " + quoted(version) +
                           "; this vesk-run speaks " + quoted(TOOLCHAIN_VERSION));
  }
  replies.discardMessage();
  return Step::done;
}

std::expected<std::vector<std::string>, std::string> parseMetadata(
    std::span<const std::byte> body) {
  if (body.size() < METADATA_COUNTS_LEN)
    return std::unexpected(std::string("shorter than 8 bytes"));
  const std::uint64_t string_len = loadU32(body.data());
  const std::uint64_t count = loadU32(body.data() + 4);
  const std::uint64_t expected_len = METADATA_COUNTS_LEN + 8 * count + string_len;
  if (expected_len != body.size()) {
    return std::unexpected(std::to_string(body.size()) + " bytes for " + std::to_string(count) +
                           " cases and " + std::to_string(string_len) +
                           " string bytes, which take " + std::to_string(expected_len));
  }
  const std::span<const std::byte> strings = body.subspan(METADATA_COUNTS_LEN + 8 * count);
  if (strings.empty() || strings[0] != std::byte{0}) {
    return std::unexpected(std::string("the string area does not start with a 0 byte"));
  }
  const std::string_view area(reinterpret_cast<const char*>(strings.data()), strings.size());
  std::vector<std::string> names;
  names.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint32_t offset = loadU32(body.data() + METADATA_COUNTS_LEN + 4 * i);
    const std::size_t end = offset == 0 ? std::string_view::npos : area.find('\0', offset);
    if (offset == 0 || offset >= area.size() || end == std::string_view::npos) {
      return std::unexpected("the name of case " + std::to_string(i) + " lies at offset " +
                             std::to_string(offset) + ", outside the string area");
    }
    names.emplace_back(area.substr(offset, end - offset));
  }
  return names;
}

std::expected<void, std::string> checkNames(std::span<const std::string> names) {
  std::unordered_map<std::string_view, std::size_t> first_of;
  first_of.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (const char c : names[i]) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) {
        return std::unexpected("the name of case " + std::to_string(i) + " holds " +
                               (c == '\n' || c == '\r' ? "a line end" : "a control character") +
                               " (" + preview(std::as_bytes(std::span(names[i]))) + ")");
      }
    }
    const auto [at, fresh] = first_of.emplace(names[i], i);
    if (!fresh) {
      return std::unexpected("cases " + std::to_string(at->second) + " and " + std::to_string(i) +
                             " are both named " + quoted(names[i]));
    }
  }
  return {};
}

}  // namespace vesk::driver
