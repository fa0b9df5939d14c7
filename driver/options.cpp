#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace vesk::driver {

namespace {

// Largest --output-limit: both ends of a case's output stay under the ten million bytes that XML
// readers take as one text by default.
constexpr std::size_t MAX_OUTPUT_KEEP = std::size_t{4} << 20;

constexpr std::string_view HELP = R"(Usage: vesk-run [options] EXECUTABLE

Runs the cases of a harness executable (any program built on vesk::harness) in parallel, each
server process started as `EXECUTABLE --listen=-`. A case that crashes its server or runs past
the time limit is reported as such, and a fresh server takes over the remaining cases.

Options:
  --list             print the selected case names, one per line, in table order, and exit
  --filter PATTERN   run the cases whose full name matches PATTERN (repeatable; a case runs when
                     it matches any filter, or when no filter is given)
  --exclude PATTERN  skip the cases whose full name matches PATTERN (repeatable; wins over
                     --filter)
  --partition count:M/N, --partition hash:M/N
                     run only part M of N of the selected cases (1 <= M <= N): every N-th
                     in table order from the M-th (count:), or those whose name's hash
                     modulo N is M-1 (hash:, so that adding a case moves no other)
  -j N, -jN, --jobs N
                     run up to N servers at once (default: the number of online processors)
  --timeout SECONDS  report a case that runs longer as timed out, kill its server and go on
                     (default: no limit; fractions allowed)
  --junit FILE       write a JUnit XML report to FILE (through a symbolic link; a device or a
                     pipe is written directly, a regular file replaced whole)
  --output-limit BYTES
                     keep the first and the last BYTES bytes of each case's output and say
                     how many were left out between them (default: 65536)
  --retries N        run a failed, crashed or timed-out case again on a fresh server, up to N
                     more times; one that passes on a later try is reported FLAKY and does
                     not fail the run (default: 0)
  --repeat N         run every selected case N times, each run reported on its own
  --shuffle          run the cases in a random order and print the seed
  --seed S           run them in the random order of seed S (implies --shuffle)
  --fail-fast        start no case after the first bad one (the rest are reported as not run)
  --max-fail N       start no case after N bad ones
  --slow SECONDS     print a SLOW line for a case still running after each SECONDS (default:
                     60; fractions allowed; 0 or off for none)
  --isolate          run every case in a fresh server, for cases that damage their process
  --format text|tap  text (the default): the report on standard error; tap: TAP version 13 on
                     standard output instead, one point per case, diagnostics as YAML
  -v, --verbose      show the output of every case, not only of failed, crashed or timed-out
                     ones
  -h, --help         print this text and exit

Patterns match the whole case name: `*` matches any run of characters, `?` any one character.
A backslash makes the next character literal, so an exact name is selected by putting `\`
before each `*`, `?` and `\` in it: --filter 'mod.test.what\?' runs only "mod.test.what?".

Under `bazel test`, vesk-run runs the shard that TEST_TOTAL_SHARDS and TEST_SHARD_INDEX name
(as --partition count:), writes the JUnit report to XML_OUTPUT_FILE, takes TESTBRIDGE_TEST_ONLY
as one more --filter, and keeps TEST_PREMATURE_EXIT_FILE only when it does not end cleanly.

Exit status: 0 when every selected case passed or was skipped, with no leak and no error
logged, and every server ended cleanly when asked to; 1 otherwise; 2 for a usage error, or an
executable that does not speak the build-driver protocol. Interrupted (SIGINT, SIGTERM, SIGHUP),
vesk-run reports what finished and ends by the signal.
)";

std::expected<unsigned, std::string> parseJobs(std::string_view text) {
  unsigned jobs = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || jobs == 0) {
    return std::unexpected("invalid job count '" + std::string(text) +
                           "': expected a whole number of at least 1");
  }
  return jobs;
}

std::expected<std::size_t, std::string> parseBytes(std::string_view text) {
  std::size_t bytes = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), bytes);
  // The upper bound keeps a case's report within what XML readers take as one text.
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || bytes == 0 ||
      bytes > MAX_OUTPUT_KEEP) {
    return std::unexpected("invalid output limit '" + std::string(text) +
                           "': expected a whole number of bytes from 1 to " +
                           std::to_string(MAX_OUTPUT_KEEP));
  }
  return bytes;
}

// A whole number from `lowest` to `highest`; what it counts names it in the message.
std::expected<std::uint64_t, std::string> parseWhole(std::string_view text, std::string_view what,
                                                     std::uint64_t lowest, std::uint64_t highest) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < lowest ||
      value > highest) {
    return std::unexpected("invalid " + std::string(what) + " '" + std::string(text) +
                           "': expected a whole number from " + std::to_string(lowest) + " to " +
                           std::to_string(highest));
  }
  return value;
}

std::expected<double, std::string> parseSeconds(std::string_view text) {
  double seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  // An upper bound keeps the deadline arithmetic far from overflow: a day is plenty for a case.
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
    return std::unexpected("invalid timeout '" + std::string(text) +
                           "': expected seconds above 0 and at most 86400");
  }
  return seconds;
}

// Stores the value of the valued option `name`; a usage error comes back as its message, success
// as an empty text.
std::string applyValue(Options& options, std::string_view name, std::string_view value) {
  if (name == "--filter") {
    options.filters.emplace_back(value);
  } else if (name == "--exclude") {
    options.excludes.emplace_back(value);
  } else if (name == "--jobs" || name == "-j") {
    const auto jobs = parseJobs(value);
    if (!jobs) return jobs.error();
    options.jobs = *jobs;
  } else if (name == "--partition") {
    const auto partition = parsePartition(value);
    if (!partition) return partition.error();
    options.partition = *partition;
  } else if (name == "--format") {
    if (value != "text" && value != "tap") {
      return "invalid format '" + std::string(value) + "': expected text or tap";
    }
    options.format = value == "tap" ? Format::tap : Format::text;
  } else if (name == "--timeout") {
    const auto seconds = parseSeconds(value);
    if (!seconds) return seconds.error();
    options.timeout_seconds = *seconds;
  } else if (name == "--retries") {
    const auto retries = parseWhole(value, "retry count", 0, 100);
    if (!retries) return retries.error();
    options.retries = static_cast<unsigned>(*retries);
  } else if (name == "--repeat") {
    const auto repeat = parseWhole(value, "repeat count", 1, 10000);
    if (!repeat) return repeat.error();
    options.repeat = static_cast<unsigned>(*repeat);
  } else if (name == "--seed") {
    const auto seed = parseWhole(value, "seed", 0, UINT64_MAX);
    if (!seed) return seed.error();
    options.seed = *seed;
    options.shuffle = true;
  } else if (name == "--max-fail") {
    const auto count = parseWhole(value, "failure count", 1, UINT32_MAX);
    if (!count) return count.error();
    options.max_fail = static_cast<unsigned>(*count);
  } else if (name == "--slow") {
    if (value == "off" || value == "0") {
      options.slow_seconds = 0;
    } else {
      const auto seconds = parseSeconds(value);
      if (!seconds)
        return "invalid slow period '" + std::string(value) +
               "': expected seconds above 0 and at most 86400, or 0 or off";
      options.slow_seconds = *seconds;
    }
  } else if (name == "--output-limit") {
    const auto bytes = parseBytes(value);
    if (!bytes) return bytes.error();
    options.output_keep = *bytes;
  } else if (value.empty()) {
    return "option --junit needs a file name";
  } else {
    options.junit_path = value;
  }
  return {};
}

bool isValued(std::string_view name) {
  return name == "--filter" || name == "--exclude" || name == "--partition" || name == "--format" ||
         name == "--jobs" || name == "-j" || name == "--timeout" || name == "--junit" ||
         name == "--output-limit" || name == "--retries" || name == "--repeat" ||
         name == "--seed" || name == "--max-fail" || name == "--slow";
}

}  // namespace

std::string_view helpText() noexcept {
  return HELP;
}

std::expected<Options, std::string> parseOptions(std::span<const std::string_view> args,
                                                 unsigned default_jobs) {
  Options options;
  options.jobs = default_jobs == 0 ? 1 : default_jobs;
  bool only_operands = false;
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string_view arg = args[at];
    if (only_operands || !arg.starts_with('-') || arg == "-") {
      if (!options.executable.empty()) {
        return std::unexpected("more than one executable given ('" + options.executable +
                               "' and '" + std::string(arg) + "')");
      }
      options.executable = arg;
    } else if (arg == "--") {
      only_operands = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--isolate") {
      options.isolate = true;
    } else if (arg == "--shuffle") {
      options.shuffle = true;
    } else if (arg == "--fail-fast") {
      options.max_fail = 1;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
    } else {
      // "--name=value", "--name value", "-jN" and "-j N".
      const bool short_jobs = arg.starts_with("-j");
      const std::size_t split = short_jobs ? 2 : arg.find('=');
      const std::string_view name = arg.substr(0, split);
      std::string_view value;
      bool has_value = split < arg.size();
      if (has_value) value = arg.substr(short_jobs ? split : split + 1);
      if (!isValued(name)) return std::unexpected("unknown option '" + std::string(arg) + "'");
      if (!has_value) {
        if (at + 1 >= args.size()) {
          return std::unexpected("option " + std::string(name) + " needs a value");
        }
        value = args[++at];
      }
      const std::string error = applyValue(options, name, value);
      if (!error.empty()) return std::unexpected(error);
    }
  }
  if (!options.help && options.executable.empty()) {
    return std::unexpected(std::string("no executable given"));
  }
  return options;
}

std::vector<std::uint32_t> selectCases(const Options& options, std::span<const std::string> names) {
  std::vector<std::uint32_t> selected;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto matches = [&](const std::string& pattern) { return globMatch(pattern, names[i]); };
    const bool wanted = options.filters.empty() ||
                        std::any_of(options.filters.begin(), options.filters.end(), matches);
    if (wanted && std::none_of(options.excludes.begin(), options.excludes.end(), matches)) {
      selected.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return selected;
}

}  // namespace vesk::driver
