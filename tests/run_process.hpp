// Runs an executable as a child process for end-to-end tests: arguments, environment changes,
// bytes for standard input, and standard error on a pipe or on a pseudo-terminal; collects
// standard output, standard error and how the process ended, killing it after an optional time
// limit so that a hanging child fails its test instead of hanging the suite.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>
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
inline std::vector<std::string> childEnvironment(const std::vector<std::string>& set,
                                                 const std::vector<std::string>& unset = {}) {
  std::vector<std::string> env;
  const auto remove = [&env](std::string_view name) {
    std::erase_if(env, [name](const std::string& e) {
      return e.size() > name.size() && e.starts_with(name) && e[name.size()] == '=';
    });
  };
  for (char** entry = environ; *entry != nullptr; ++entry)
    env.emplace_back(*entry);
  for (std::string_view name : {"CLICOLOR_FORCE", "NO_COLOR", "VESK_PROGRESS_FD"})
    remove(name);
  for (const std::string& name : unset)
    remove(name);
  for (const std::string& entry : set) {
    remove(std::string_view(entry).substr(0, entry.find('=')));
    env.push_back(entry);
  }
  return env;
}

/// Pointers to the strings of `strings`, ending with a null pointer, as execve takes them.
inline std::vector<char*> execArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

/// Runs `path` to completion (or to its time limit) and returns what it printed and how it ended.
inline ProcessResult runProcess(const std::string& path, const ProcessOptions& options = {}) {
  // Built before the fork: the child only duplicates descriptors and executes.
  std::vector<std::string> args = {path};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env = childEnvironment(options.set_env, options.unset_env);
  const std::vector<char*> argv = execArray(args);
  const std::vector<char*> envp = execArray(env);

  int in_pipe[2], out_pipe[2], err_pipe[2] = {-1, -1};
  int master = -1, slave = -1;
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) std::abort();
  if (options.stderr_on_terminal) {
    winsize size{};
    size.ws_col = options.terminal_columns;
    size.ws_row = options.terminal_rows;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) std::abort();
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
  } else if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    std::abort();
  }

  const pid_t pid = ::fork();
  if (pid == 0) {
    if (options.stderr_on_terminal) {
      ::setsid();
      ::ioctl(slave, TIOCSCTTY, 0);
    }
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(options.stderr_on_terminal ? slave : err_pipe[1], 2);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }

  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (options.stderr_on_terminal) {
    ::close(slave);
  } else {
    ::close(err_pipe[1]);
  }
  const int err_fd = options.stderr_on_terminal ? master : err_pipe[0];

  ProcessResult result;
  std::size_t written = 0;
  int in_fd = in_pipe[1];
  if (options.stdin_bytes.empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  bool out_open = true, err_open = true;
  (void)::signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal number
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options.time_limit_ms);
  while (out_open || err_open) {
    pollfd fds[3] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                     {err_open ? err_fd : -1, POLLIN, 0},
                     {in_fd, POLLOUT, 0}};
    int wait_ms = -1;
    if (options.time_limit_ms > 0 && !result.timed_out) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    const int ready = ::poll(fds, 3, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {  // out of time: the pipes close once the child is gone
      ::kill(pid, SIGKILL);
      result.timed_out = true;
      continue;
    }
    char buf[4096];
    auto drain = [&](const pollfd& p, std::string& into, bool& open) {
      if (p.fd < 0 || p.revents == 0) return;
      const ssize_t n = ::read(p.fd, buf, sizeof buf);
      if (n > 0) {
        into.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open = false;  // end of file, or EIO once the terminal's last writer is gone
      }
    };
    drain(fds[0], result.out, out_open);
    drain(fds[1], result.err, err_open);
    if (in_fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = ::write(in_fd, options.stdin_bytes.data() + written,
                                options.stdin_bytes.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written == options.stdin_bytes.size()) {
        ::close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) ::close(in_fd);
  ::close(out_pipe[0]);
  ::close(err_fd);

  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

/// `text` with every hexadecimal address shown as "0x?" and every thread number as "thread ?",
/// the parts of a report that change from run to run.
inline std::string maskVarying(const std::string& text) {
  static const std::regex address("0x[0-9a-f]+");
  static const std::regex thread("thread [0-9]+ panic");
  return std::regex_replace(std::regex_replace(text, address, "0x?"), thread, "thread ? panic");
}

}  // namespace vesk::testing
