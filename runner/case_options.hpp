// The command line of an executable on the default main (vesk::harness_main): which registered
// cases to list or run, and whether to serve a build driver. Reading it only; running is the
// harness's.
#pragma once

#include <string_view>
#include <vector>

#include <vesk/test_case.hpp>

namespace vesk {

/// What the command line asks for.
struct CaseOptions {
  bool list = false;
  bool help = false;
  bool listen = false;
  std::vector<std::string_view> filters;   ///< a case runs when it matches one (or none is given)
  std::vector<std::string_view> excludes;  ///< and matches none of these
  std::string_view error{};                ///< what is wrong with the command line, if anything
  std::string_view offending{};            ///< the argument it is about
};

/// Reads `args` (without the program name).
CaseOptions parseCaseOptions(const std::vector<std::string_view>& args);

/// Whether `name` is selected by the filters and excludes of `options`.
bool caseSelected(const CaseOptions& options, std::string_view name) noexcept;

/// The usage text, for --help and after a usage error.
std::string_view caseUsage() noexcept;

}  // namespace vesk
