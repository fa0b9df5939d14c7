// The JUnit XML report of a run for CI systems: one suite named after the executable, a test case
// per selected case with its outcome and output, and the servers that did not end cleanly as an
// error of the suite. The report is written to the file a path names after its symbolic links:
// a regular file (or a new one) is replaced whole through a temporary file, so it is either the
// old or the new report; anything else (a device, a pipe) is written directly.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "case_result.hpp"
#include "scheduler.hpp"

namespace vesk::driver {

/// The JUnit report of `results` (unfinished cases as skipped, "interrupted"), with the cases'
/// `names` from the table, `problems` of the servers' ends and the run's wall time.
std::string junitReport(std::string_view suite, std::span<const std::string> names,
                        std::span<const CaseResult> results,
                        std::span<const ServerExitProblem> problems, double seconds);

/// Writes `report` to the file `path` names, as the header says. The error says why not, in the
/// driver's words.
std::expected<void, std::string> writeReportFile(const std::string& path, std::string_view report);

/// Refuses, before any case runs, a report path that cannot be written: a directory, a file that
/// takes no writes, or a new file in a directory that is missing or takes no new files.
std::expected<void, std::string> checkReportPath(const std::string& path);

}  // namespace vesk::driver
