#include "server_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include <vesk/log.hpp>
#include "writer.hpp"

extern char** environ;

namespace vesk::driver {

namespace {

void closeFd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string cannotRun(const std::string& executable, std::string_view why) {
  return "cannot run '" + executable + "': " + std::string(why);
}

// Runs in the child between fork and exec, so it uses only async-signal-safe calls.
[[noreturn]] void execServer(const char* path, char* const* argv, pid_t driver, int in, int out,
                             int err, int report_fd) noexcept {
  // Killed with the driver, however the driver ends; a driver that died before this line
  // (the new parent is then another process) would never send the signal, so look once.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != driver) ::_exit(127);
  // Away from the terminal's process group: an interrupt typed there is for the driver, which
  // reports the interrupted run and ends its servers; the servers never read the terminal.
  ::setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::prctl(PR_SET_TIMERSLACK, 0UL);  // the default timer slack, not the driver's
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
    const int code = errno;
    (void)!::write(report_fd, &code, sizeof code);
    ::_exit(127);
  }
  ::execve(path, argv, environ);
  const int code = errno;
  (void)!::write(report_fd, &code, sizeof code);
  ::_exit(127);
}

}  // namespace

std::expected<ServerProcess, std::string> spawnServer(const std::string& executable) {
  // Checked first for a clear message; exec below still reports what changes in between.
  struct stat info {};
  if (::stat(executable.c_str(), &info) != 0) {
    const int code = errno;
    return std::unexpected(
        cannotRun(executable, code == ENOENT ? "no such file" : std::string(errnoName(code))));
  }
  if (S_ISDIR(info.st_mode)) return std::unexpected(cannotRun(executable, "it is a directory"));
  if (::access(executable.c_str(), X_OK) != 0) {
    return std::unexpected(
        cannotRun(executable, "it is not executable (" + std::string(errnoName(errno)) + ")"));
  }

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
  const auto close_all = [&] {
    for (int* pair : {in, out, err, report}) {
      closeFd(pair[0]);
      closeFd(pair[1]);
    }
  };
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
      ::pipe2(report, O_CLOEXEC) != 0) {
    const int code = errno;
    close_all();
    return std::unexpected(cannotRun(executable, "no pipe (" + std::string(errnoName(code)) + ")"));
  }
  // Built before the fork: the child only duplicates descriptors and executes.
  std::string path = executable;
  std::string listen = "--listen=-";
  char* argv[] = {path.data(), listen.data(), nullptr};
  const pid_t driver = ::getpid();

  const pid_t pid = ::fork();
  if (pid < 0) {
    const int code = errno;
    close_all();
    return std::unexpected(
        cannotRun(executable, "fork failed (" + std::string(errnoName(code)) + ")"));
  }
  if (pid == 0) execServer(path.c_str(), argv, driver, in[0], out[1], err[1], report[1]);

  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  closeFd(report[1]);
  // The report pipe closes on a successful exec (close-on-exec) and carries errno otherwise.
  int code = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  closeFd(report[0]);
  ServerProcess server{pid, in[1], out[0], err[0], -1};
  if (n == static_cast<ssize_t>(sizeof code)) {
    killServer(server);
    closeServerPipes(server);
    return std::unexpected(
        cannotRun(executable, "exec failed (" + std::string(errnoName(code)) + ")"));
  }
  // The process descriptor tells when the server ends even while other processes hold its pipes;
  // without one (kernels before 5.3) the end of its output is the only sign. Made by the system
  // call itself: the C library's declaration of pidfd_open lacks C linkage.
  server.pid_fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  ::fcntl(server.out_fd, F_SETFL, O_NONBLOCK);
  ::fcntl(server.err_fd, F_SETFL, O_NONBLOCK);
  return server;
}

bool sendToServer(const ServerProcess& server, const void* data, std::size_t len) noexcept {
  return server.in_fd >= 0 && writeAll(server.in_fd, data, len) == 0;
}

std::optional<ServerEnd> reapServer(ServerProcess& server, bool wait) noexcept {
  if (server.pid < 0) return ServerEnd{};
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(server.pid, &status, wait ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return std::nullopt;
  server.pid = -1;
  ServerEnd end;
  if (got > 0 && WIFEXITED(status)) end.exit_code = WEXITSTATUS(status);
  if (got > 0 && WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  return end;
}

ServerEnd killServer(ServerProcess& server) noexcept {
  if (server.pid < 0) return ServerEnd{};
  // The whole process group, so that whatever the server started goes with it. A server that has
  // ended already is a zombie until reaped: the signal leaves its own status as it was.
  if (::kill(-server.pid, SIGKILL) != 0) ::kill(server.pid, SIGKILL);
  return reapServer(server, true).value_or(ServerEnd{});  // a waiting reap always has a value
}

void closeRequests(ServerProcess& server) noexcept {
  closeFd(server.in_fd);
}

void closeServerPipes(ServerProcess& server) noexcept {
  closeFd(server.in_fd);
  closeFd(server.out_fd);
  closeFd(server.err_fd);
  closeFd(server.pid_fd);
}

int stopSignal(const ServerProcess& server) noexcept {
  if (server.pid < 0) return 0;
  siginfo_t info{};
  // Stops only, and each reported once: the server's end stays for reapServer.
  if (::waitid(P_PID, static_cast<id_t>(server.pid), &info, WSTOPPED | WNOHANG) != 0) return 0;
  return info.si_pid == server.pid && info.si_code == CLD_STOPPED ? info.si_status : 0;
}

ProcessLauncher::~ProcessLauncher() {
  for (ServerProcess& server : ahead_) {
    killServer(server);
    closeServerPipes(server);
  }
}

void ProcessLauncher::startAhead(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    auto server = spawnServer(executable_);
    if (!server) return;
    ahead_.push_back(*server);
  }
}

std::expected<ServerProcess, std::string> ProcessLauncher::start() {
  if (ahead_.empty()) return spawnServer(executable_);
  const ServerProcess server = ahead_.front();
  ahead_.pop_front();
  return server;
}

std::string signalName(int signal) {
  if (const char* name = ::sigabbrev_np(signal)) return std::string("SIG") + name;
  return "signal " + std::to_string(signal);
}

}  // namespace vesk::driver
