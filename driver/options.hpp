// vesk-run's command line and case selection: the options, their parsing into one record, the
// help text, and the selection of cases by the patterns of case_pattern.hpp.
// Nothing here starts a process or prints.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "case_output.hpp"
#include "case_pattern.hpp"
#include "partition.hpp"

namespace vesk::driver {

/// How results are shown: the report on standard error, or TAP on standard output.
enum class Format : std::uint8_t { text, tap };

/// What the command line asks for.
struct Options {
  std::string executable;              ///< the harness executable to serve the cases
  std::vector<std::string> filters;    ///< a case runs when it matches one of these (or none given)
  std::vector<std::string> excludes;   ///< ... and none of these
  std::optional<Partition> partition;  ///< run only this part of the selection
  Format format = Format::text;        ///< how results are shown
  unsigned jobs = 1;                   ///< servers at once
  std::optional<double> timeout_seconds;  ///< per case; none for no limit
  std::string junit_path;                 ///< where to write the JUnit report; empty for none
  std::size_t output_keep = DEFAULT_OUTPUT_KEEP;  ///< bytes kept at each end of a case's output
  bool isolate = false;                           ///< a fresh server for every case
  unsigned retries = 0;               ///< times a failed, crashed or timed-out case runs again
  unsigned repeat = 1;                ///< runs of every selected case
  bool shuffle = false;               ///< run the cases in a random order
  std::optional<std::uint64_t> seed;  ///< the order's seed; none for a fresh one
  unsigned max_fail = 0;              ///< bad cases after which no case starts; 0 for no limit
  double slow_seconds = 60;           ///< period of SLOW lines for a running case; 0 for none
  bool list = false;                  ///< print the selected names instead of running
  bool verbose = false;               ///< show every case's output, not only a bad case's
  bool help = false;                  ///< print the help text and exit
};

/// The help text, ending with a line end.
std::string_view helpText() noexcept;

/// Reads `args` (without the program name); `default_jobs` is used when no -j is given. A usage
/// error comes back as the message to print (without the program name or line end).
std::expected<Options, std::string> parseOptions(std::span<const std::string_view> args,
                                                 unsigned default_jobs);

/// Positions (in table order) of the names the filters and excludes of `options` select.
std::vector<std::uint32_t> selectCases(const Options& options, std::span<const std::string> names);

}  // namespace vesk::driver
