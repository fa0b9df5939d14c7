#include "run_process.hpp"

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
#include <fstream>
#include <string_view>
#include <thread>

namespace vesk::testing {
std::vector<std::string> childEnvironment(const std::vector<std::string>& set,
                                          const std::vector<std::string>& unset) {
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

std::vector<char*> execArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

ProcessResult runProcess(const std::string& path, const ProcessOptions& options) {
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

std::string maskVarying(const std::string& text) {
  // By hand rather than with <regex>: this runs over whole reports, and the pattern engine's cost
  // (in compile time and in stack depth per character) buys nothing for two fixed shapes.
  const auto is_hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "0x") == 0 && i + 2 < text.size() && is_hex(text[i + 2])) {
      out += "0x?";
      for (i += 2; i < text.size() && is_hex(text[i]); ++i) {
      }
      continue;
    }
    if (text.compare(i, 7, "thread ") == 0) {
      std::size_t end = i + 7;
      while (end < text.size() && is_digit(text[end]))
        ++end;
      if (end > i + 7 && text.compare(end, 6, " panic") == 0) {
        out += "thread ?";
        i = end;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

bool processEnds(int pid, int limit_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, comm, state;
    if (!(stat >> pid_field >> comm >> state) || state == "Z") return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace vesk::testing
