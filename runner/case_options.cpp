#include "case_options.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <vesk/cases.hpp>
#include <vesk/log.hpp>
#include <vesk/vesk_harness.hpp>

#include "case_pattern.hpp"
#include "stderr_lock.hpp"
#include "writer.hpp"

namespace vesk {

namespace {

constexpr std::string_view USAGE =
    "usage: EXECUTABLE [--list] [--filter PATTERN]... [--exclude PATTERN]... [--listen=-]\n"
    "Runs the registered cases in registration order and reports on standard error.\n"
    "  --list              print the names of the selected cases, one per line, and exit\n"
    "  --filter PATTERN    select the cases whose whole name matches PATTERN (repeatable)\n"
    "  --exclude PATTERN   leave out the cases whose name matches PATTERN (repeatable)\n"
    "  --listen=-          serve a build driver (vesk-run) on standard input and output\n"
    "  --help              print this text and exit\n"
    "In a PATTERN, * matches any run of characters, ? one character, and a backslash makes the\n"
    "next character literal.\n";

// "--filter PATTERN" or "--filter=PATTERN": the pattern, or nothing when `arg` is another option.
// `missing` is set when the option is there but its pattern is not.
bool takesPattern(std::string_view option, const std::vector<std::string_view>& args,
                  std::size_t& i, std::string_view& pattern, bool& missing) {
  const std::string_view arg = args[i];
  if (arg == option) {
    if (i + 1 >= args.size()) {
      missing = true;
      return true;
    }
    pattern = args[++i];
    return true;
  }
  if (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=') {
    pattern = arg.substr(option.size() + 1);
    return true;
  }
  return false;
}

void writeOut(int fd, std::string_view text) {
  (void)writeAll(fd, text.data(), text.size());
}

}  // namespace

CaseOptions parseCaseOptions(const std::vector<std::string_view>& args) {
  CaseOptions options;
  for (std::size_t i = 0; i < args.size() && options.error.empty(); ++i) {
    const std::string_view arg = args[i];
    std::string_view pattern;
    bool missing = false;
    if (arg == "--list") {
      options.list = true;
    } else if (arg == "--help") {
      options.help = true;
    } else if (arg == "--listen=-") {
      options.listen = true;
    } else if (takesPattern("--filter", args, i, pattern, missing)) {
      options.filters.push_back(pattern);
    } else if (takesPattern("--exclude", args, i, pattern, missing)) {
      options.excludes.push_back(pattern);
    } else {
      options.error = "unknown option";
      options.offending = arg;
    }
    if (missing) {
      options.error = "missing pattern after";
      options.offending = arg;
    }
  }
  return options;
}

bool caseSelected(const CaseOptions& options, std::string_view name) noexcept {
  const auto matches = [&](std::string_view pattern) { return globMatch(pattern, name); };
  if (!options.filters.empty() && std::ranges::none_of(options.filters, matches)) return false;
  return std::ranges::none_of(options.excludes, matches);
}

std::string_view caseUsage() noexcept {
  return USAGE;
}

int casesMain(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CaseOptions options = parseCaseOptions(args);
  if (!options.error.empty()) {
    {
      LockedStderr locked;
      locked.out.put(options.error).put(" '").put(options.offending).put("'\n").put(USAGE);
    }
    return 2;
  }
  if (options.help) {
    writeOut(STDOUT_FILENO, USAGE);
    return 0;
  }
  std::vector<TestCase> selected;
  for (const TestCase& test : registeredCases()) {
    if (caseSelected(options, test.name)) selected.push_back(test);
  }
  if (selected.empty() && !options.filters.empty()) {
    LockedStderr().out.put("no registered case matches the filters\n");
    return 2;
  }
  if (options.list) {
    std::string names;
    for (const TestCase& test : selected)
      names.append(test.name).append("\n");
    writeOut(STDOUT_FILENO, names);
    return 0;
  }
  return harnessRun(selected, options.listen);
}

}  // namespace vesk
