#include "case_guard.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <vesk/log.hpp>
#include <vesk/panic.hpp>
#include <vesk/sink.hpp>
#include "progress.hpp"
#include "report_lines.hpp"
#include "stop.hpp"

namespace vesk {

namespace {

// Kept descriptors are taken at this number or above, far from the lowest free numbers that a
// program's own opens take; lower only when the descriptor limit leaves no room there.
constexpr int KEPT_FD_FLOOR = 1000;
constexpr rlim_t KEPT_FD_HEADROOM = 16;

// The signals whose handling the harness sets and a case must not change for later cases: the
// faults it reports, the broken pipe it ignores, and the parent's end in build-driver mode. The
// abort signal needs nothing: a report sets its default action itself before raising it.
constexpr int PARENT_END_SIGNAL = SIGHUP;
constexpr int KEPT_SIGNALS[] = {SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGPIPE, PARENT_END_SIGNAL};

struct ProcessState {
  std::array<int, 4> kept;
  std::size_t kept_count;
  std::array<struct sigaction, std::size(KEPT_SIGNALS)> actions;
  sigset_t mask;
  stack_t signal_stack;
  rlimit fd_limit;
  pid_t pid;
  pthread_t main_thread;      // whose alternate signal stack was taken
  std::atomic<pid_t> parent;  // 0 unless this process's group ends with its parent
  std::atomic<const TestCase*> running;
  int sink;                    // the kept error sink, or -1
  int cwd_fd;                  // the working directory as a kept descriptor, or -1
  std::array<char, 4096> cwd;  // the working directory's path, or empty
};

// Taken once at start-up; read by the exit handler and by the parent-end signal handler, which
// have nothing else to go by.
constinit ProcessState state{};

int keptFdFloor() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return KEPT_FD_FLOOR;
  }
  const rlim_t below = limit.rlim_cur > KEPT_FD_HEADROOM ? limit.rlim_cur - KEPT_FD_HEADROOM : 3;
  return static_cast<int>(std::clamp<rlim_t>(below, 3, KEPT_FD_FLOOR));
}

// Closing a kept descriptor, or putting another file in its place (dup2, or an open after a
// close), leaves none with the close-on-exec flag at that number.
bool intact(int kept) noexcept {
  return ::fcntl(kept, F_GETFD) == FD_CLOEXEC;
}

// An exit() while a case runs would end the run as if it had finished, status 0 included. Only
// this process's: a child a case forked may exit as it likes.
void reportExitDuringCase(int status, void*) {
  const TestCase* test = state.running.load();
  if (test == nullptr || ::getpid() != state.pid) return;
  (void)std::fflush(stdout);  // what the case printed comes before the report
  progressEraseForReport();
  Writer out;
  out.put(EXIT_LINE_START).put(test->name).put(EXIT_LINE_MIDDLE);
  if (status < 0) out.put('-');
  out.dec(status < 0 ? 0 - static_cast<std::uint64_t>(status) : static_cast<std::uint64_t>(status));
  out.put(")\n");
  out.flush();
  ::_exit((status & 0xFF) != 0 ? status & 0xFF : 1);
}

// The parent's end, as the death signal says: the whole group goes, the case's children with it.
// The same signal from anyone else does what it would have done by default.
void parentEnded(int signo) {
  if (::getppid() != state.parent.load()) ::kill(0, SIGKILL);
  (void)::signal(signo, SIG_DFL);
  (void)::raise(signo);
}

void endGroupWithParent() noexcept {
  // Another group's members are not ours to end.
  if (::getpgrp() != ::getpid()) return;
  struct sigaction act {};
  act.sa_handler = parentEnded;
  sigemptyset(&act.sa_mask);
  if (::sigaction(PARENT_END_SIGNAL, &act, nullptr) != 0) return;
  state.parent.store(::getppid());
  ::prctl(PR_SET_PDEATHSIG, PARENT_END_SIGNAL);
  // A parent that ended before the line above sends no signal.
  if (::getppid() != state.parent.load()) ::kill(0, SIGKILL);
}

void restoreProcessState() noexcept {
  if (state.pid == 0) return;  // never taken: cases run in-process under a test's own state
  for (std::size_t i = 0; i < std::size(KEPT_SIGNALS); ++i)
    ::sigaction(KEPT_SIGNALS[i], &state.actions[i], nullptr);
  ::pthread_sigmask(SIG_SETMASK, &state.mask, nullptr);
  if (::pthread_equal(::pthread_self(), state.main_thread) != 0) {
    ::sigaltstack(&state.signal_stack, nullptr);
  }
  ::setrlimit(RLIMIT_NOFILE, &state.fd_limit);
  // An alarm the case left would fire in a later case and end it by its signal.
  const itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  restoreStopReport();
  if (state.sink >= 0) setErrorSink(state.sink);
  // Relative source paths in traces (a build with -ffile-prefix-map) are read from here; the kept
  // descriptor is checked with the others after this.
  if (state.cwd_fd >= 0) {
    (void)::fchdir(state.cwd_fd);
  } else if (state.cwd[0] != '\0') {
    (void)::chdir(state.cwd.data());
  }
}

[[noreturn]] void descriptorBroken(const TestCase& test, int fd) noexcept {
  // The report needs somewhere to go: standard error, when the error sink is what broke; and its
  // source lines the working directory, by its path when its kept descriptor broke too.
  if (fd == errorSink()) {
    state.sink = -1;
    setErrorSink(STDERR_FILENO);
  }
  if (state.cwd_fd >= 0 && !intact(state.cwd_fd) && state.cwd[0] != '\0') {
    (void)::chdir(state.cwd.data());
  }
  char text[512];
  const int n =
      std::snprintf(text, sizeof text, "case %.*s closed or replaced the harness's descriptor %d",
                    static_cast<int>(test.name.size()), test.name.data(), fd);
  panic(std::string_view(text, static_cast<std::size_t>(std::clamp(n, 0, 511))));
}

}  // namespace

int keepDescriptor(int fd) noexcept {
  if (state.kept_count == state.kept.size()) return -1;
  const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, keptFdFloor());
  if (kept < 0) return -1;
  state.kept[state.kept_count++] = kept;
  return kept;
}

void takeProcessState(bool server) noexcept {
  state.pid = ::getpid();
  state.sink = keepDescriptor(errorSink());
  if (state.sink >= 0) setErrorSink(state.sink);
  if (::getcwd(state.cwd.data(), state.cwd.size()) == nullptr) state.cwd[0] = '\0';
  // A server, which opens files for its streams anyway, also keeps the directory open, as going
  // back to it through a descriptor costs a fraction of a lookup by path; a terminal run with
  // nothing to report opens no file.
  state.cwd_fd = -1;
  if (server) {
    if (const int cwd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC); cwd >= 0) {
      state.cwd_fd = keepDescriptor(cwd);
      ::close(cwd);
    }
  }
  if (server) endGroupWithParent();
  for (std::size_t i = 0; i < std::size(KEPT_SIGNALS); ++i)
    ::sigaction(KEPT_SIGNALS[i], nullptr, &state.actions[i]);
  ::pthread_sigmask(SIG_SETMASK, nullptr, &state.mask);
  state.main_thread = ::pthread_self();
  ::sigaltstack(nullptr, &state.signal_stack);
  ::getrlimit(RLIMIT_NOFILE, &state.fd_limit);
  ::on_exit(reportExitDuringCase, nullptr);
}

bool inForkedChild() noexcept {
  return state.pid != 0 && ::getpid() != state.pid;
}

// Nothing is put back here: the state was taken at start-up or put back when the last case
// ended, and only the harness ran since.
void beginCase(const TestCase& test) noexcept {
  state.running.store(&test);
}

void endCase() noexcept {
  const TestCase* test = state.running.exchange(nullptr);
  restoreProcessState();
  if (test == nullptr) return;
  for (std::size_t i = 0; i < state.kept_count; ++i) {
    if (!intact(state.kept[i])) descriptorBroken(*test, state.kept[i]);
  }
}

}  // namespace vesk
