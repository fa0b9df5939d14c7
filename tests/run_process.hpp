// Runs an executable as a child process for end-to-end tests: arguments, environment changes,
// bytes for standard input, and standard error on a pipe or on a pseudo-terminal; collects
// standard output, standard error and how the process ended, killing it after an optional time
// limit so that a hanging child fails its test instead of hanging the suite. Compiled once, in the
// test-support library.
#pragma once

#include <string>
#include <vector>

namespace vesk::testing {

struct ProcessOptions {
  std::vector<std::string> args;         ///< arguments after the program name
  std::vector<std::string> set_env;      ///< "NAME=value" entries added to the environment
  std::vector<std::string> unset_env;    ///< names removed from the environment
  std::string stdin_bytes;               ///< written to standard input, which is then closed
  bool stderr_on_terminal = false;       ///< standard error on a pseudo-terminal instead of a pipe
  unsigned short terminal_columns = 80;  ///< size of that terminal
  unsigned short terminal_rows = 25;
  int time_limit_ms = 0;  ///< the child is killed (SIGKILL) when it runs longer; 0: no limit
};

struct ProcessResult {
  std::string out;
  std::string err;
  int exit_code = -1;      ///< the exit status, or -1 when a signal ended the process
  int signal = 0;          ///< the signal that ended the process, or 0
  bool timed_out = false;  ///< killed for running past the time limit
};

/// The environment a child starts with: this process's, without `unset` and without the variables
/// that change what the harness prints (colours, a progress descriptor), then with the
/// "NAME=value" entries of `set`, each replacing any earlier one of its name. A developer's shell
/// settings never reach a test.
std::vector<std::string> childEnvironment(const std::vector<std::string>& set,
                                          const std::vector<std::string>& unset = {});

/// Pointers to the strings of `strings`, ending with a null pointer, as execve takes them.
std::vector<char*> execArray(std::vector<std::string>& strings);

/// Runs `path` to completion and returns what it printed and how it ended.
ProcessResult runProcess(const std::string& path, const ProcessOptions& options = {});

/// Whether process `pid` has ended (gone, or a zombie nobody reaped yet) within `limit_ms`. A
/// killed process ends a moment after the kill returns, later still on a loaded machine, so a
/// check right after a kill must wait for it.
bool processEnds(int pid, int limit_ms = 5000);

/// `text` with every hexadecimal address shown as "0x?" and every thread number as "thread ?",
/// the parts of a report that change from run to run.
std::string maskVarying(const std::string& text);

}  // namespace vesk::testing
