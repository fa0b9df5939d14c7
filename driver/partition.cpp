#include "partition.hpp"

#include <charconv>

namespace vesk::driver {

namespace {

std::expected<std::uint32_t, std::string> parseCount(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value == 0)
    return std::unexpected(std::string());
  return value;
}

}  // namespace

std::expected<Partition, std::string> parsePartition(std::string_view text) {
  const auto invalid = [&](std::string_view why) {
    return std::unexpected("invalid partition '" + std::string(text) + "': " + std::string(why));
  };
  Partition partition;
  std::string_view rest;
  if (text.starts_with("count:")) {
    rest = text.substr(6);
  } else if (text.starts_with("hash:")) {
    partition.kind = Partition::Kind::hash;
    rest = text.substr(5);
  } else {
    return invalid("expected count:M/N or hash:M/N");
  }
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return invalid("expected M/N after the kind");
  const auto number = parseCount(rest.substr(0, slash));
  const auto total = parseCount(rest.substr(slash + 1));
  if (!number || !total) return invalid("M and N must be whole numbers of at least 1");
  if (*number > *total) return invalid("M must not exceed N");
  partition.number = *number;
  partition.total = *total;
  return partition;
}

std::string partitionText(const Partition& partition) {
  return std::string(partition.kind == Partition::Kind::count ? "count:" : "hash:") +
         std::to_string(partition.number) + '/' + std::to_string(partition.total);
}

std::uint64_t caseNameHash(std::string_view name) noexcept {
  std::uint64_t h = 0xcbf29ce484222325;
  for (const char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3;
  }
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9;
  h ^= h >> 27;
  h *= 0x94d049bb133111eb;
  h ^= h >> 31;
  return h;
}

std::vector<std::uint32_t> partitionCases(const Partition& partition,
                                          std::span<const std::uint32_t> selected,
                                          std::span<const std::string> names) {
  std::vector<std::uint32_t> mine;
  for (std::size_t at = 0; at < selected.size(); ++at) {
    const std::uint64_t key =
        partition.kind == Partition::Kind::count ? at : caseNameHash(names[selected[at]]);
    if (key % partition.total == partition.number - 1) mine.push_back(selected[at]);
  }
  return mine;
}

}  // namespace vesk::driver
