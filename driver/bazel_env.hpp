// Bazel's test protocol as vesk-run follows it: what Bazel's test runner asks of a test through
// environment variables (its shard, the JUnit file, a case filter, the premature-exit marker, the
// temporary directory), read into one record, and the files the protocol has a test create and
// remove. Without those variables none of this does anything.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "partition.hpp"

namespace vesk::driver {

/// What Bazel's environment asks of this run; empty fields for variables that are not set.
struct BazelTest {
  std::optional<Partition> shard;   ///< TEST_TOTAL_SHARDS and TEST_SHARD_INDEX, as count:
  std::string shard_status_file;    ///< TEST_SHARD_STATUS_FILE: touched to say shards are run
  std::string xml_output_file;      ///< XML_OUTPUT_FILE: where the JUnit report goes
  std::string test_filter;          ///< TESTBRIDGE_TEST_ONLY: one more --filter pattern
  std::string premature_exit_file;  ///< TEST_PREMATURE_EXIT_FILE: there until a clean end
  std::string temporary_directory;  ///< TEST_TMPDIR: the servers' TMPDIR
};

/// Looks a variable up as getenv does.
using EnvironmentLookup = const char* (*)(const char* name);

/// Reads Bazel's variables through `lookup`; malformed shard variables come back as the message
/// to print.
std::expected<BazelTest, std::string> readBazelTest(EnvironmentLookup lookup);

/// Starts a run under Bazel: touches the shard status file, creates the premature-exit file, and
/// points TMPDIR (which the servers inherit) at Bazel's temporary directory. The error names the
/// file that could not be made.
std::expected<void, std::string> beginBazelTest(const BazelTest& test);

/// Ends a run that finished cleanly (every selected case reported): removes the premature-exit
/// file, so that Bazel does not take the run for one that ended early.
std::expected<void, std::string> endBazelTest(const BazelTest& test);

}  // namespace vesk::driver
