#include "bazel_env.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

#include <vesk/log.hpp>
#include "writer.hpp"

namespace vesk::driver {

namespace {

// A variable's value, or empty when it is unset.
std::string variable(EnvironmentLookup lookup, const char* name) {
  const char* value = lookup(name);
  return value != nullptr ? value : "";
}

std::expected<std::uint32_t, std::string> parseNumber(const std::string& text, const char* name,
                                                      std::uint32_t below) {
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value >= below) {
    return std::unexpected("invalid " + std::string(name) + " '" + text +
                           "': expected a whole number below " + std::to_string(below));
  }
  return value;
}

std::string cannotMake(const std::string& what, const std::string& path, int code) {
  return "cannot create " + what + " '" + path + "': " + std::string(errnoName(code));
}

// Creates `path` if it is missing and sets its modification time to now.
int touch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return errno;
  int failure = ::futimens(fd, nullptr) != 0 ? errno : 0;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  return failure;
}

}  // namespace

std::expected<BazelTest, std::string> readBazelTest(EnvironmentLookup lookup) {
  BazelTest test;
  const std::string total = variable(lookup, "TEST_TOTAL_SHARDS");
  const std::string index = variable(lookup, "TEST_SHARD_INDEX");
  if (!total.empty() || !index.empty()) {
    const auto shards = parseNumber(total, "TEST_TOTAL_SHARDS", UINT32_MAX);
    if (!shards || *shards == 0) {
      return std::unexpected("invalid TEST_TOTAL_SHARDS '" + total +
                             "': expected a whole number of at least 1");
    }
    const auto shard = parseNumber(index, "TEST_SHARD_INDEX", *shards);
    if (!shard) return std::unexpected(shard.error());
    test.shard = Partition{Partition::Kind::count, *shard + 1, *shards};
  }
  test.shard_status_file = variable(lookup, "TEST_SHARD_STATUS_FILE");
  test.xml_output_file = variable(lookup, "XML_OUTPUT_FILE");
  test.test_filter = variable(lookup, "TESTBRIDGE_TEST_ONLY");
  test.premature_exit_file = variable(lookup, "TEST_PREMATURE_EXIT_FILE");
  test.temporary_directory = variable(lookup, "TEST_TMPDIR");
  return test;
}

std::expected<void, std::string> beginBazelTest(const BazelTest& test) {
  if (test.shard && !test.shard_status_file.empty()) {
    if (const int failure = touch(test.shard_status_file); failure != 0)
      return std::unexpected(cannotMake("the shard status file", test.shard_status_file, failure));
  }
  if (!test.premature_exit_file.empty()) {
    if (const int failure = touch(test.premature_exit_file); failure != 0) {
      return std::unexpected(
          cannotMake("the premature-exit file", test.premature_exit_file, failure));
    }
  }
  // The servers inherit the environment: a case's temporary files go under Bazel's directory,
  // which Bazel keeps apart per test and cleans up.
  if (!test.temporary_directory.empty() &&
      ::setenv("TMPDIR", test.temporary_directory.c_str(), 1) != 0) {
    return std::unexpected("cannot set TMPDIR: " + std::string(errnoName(errno)));
  }
  return {};
}

std::expected<void, std::string> endBazelTest(const BazelTest& test) {
  if (!test.premature_exit_file.empty() && ::unlink(test.premature_exit_file.c_str()) != 0 &&
      errno != ENOENT) {
    return std::unexpected("cannot remove the premature-exit file '" + test.premature_exit_file +
                           "': " + std::string(errnoName(errno)));
  }
  return {};
}

}  // namespace vesk::driver
