#include "waiting.hpp"

#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <array>

namespace vesk::driver {

namespace {

// Set by the signal handlers, read by the waits: the handlers can reach nothing else.
volatile sig_atomic_t interrupted = 0;
volatile sig_atomic_t child_changed = 0;
// The signal mask while waiting: the driver's signals are blocked everywhere else.
sigset_t wait_mask;

void noteSignal(int signo) {
  interrupted = signo;
}
void noteChild(int) {
  child_changed = 1;
}
void ignoreSignal(int) {}

constexpr std::array<int, 3> INTERRUPTING = {SIGINT, SIGTERM, SIGHUP};

// How late the system may end a wait, to group wake-ups: by default 50 us, a third of the time the
// driver lets quick cases run before it reads their replies.
constexpr unsigned long WAIT_SLACK_NS = 1000;

}  // namespace

void installDriverSignals() noexcept {
  struct sigaction act {};
  act.sa_handler = noteSignal;
  sigemptyset(&act.sa_mask);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signo : INTERRUPTING) {
    ::sigaction(signo, &act, nullptr);
    sigaddset(&blocked, signo);
  }
  // A stopped server sends it too: that is how a stop is noticed without polling.
  act.sa_handler = noteChild;
  ::sigaction(SIGCHLD, &act, nullptr);
  sigaddset(&blocked, SIGCHLD);
  // A handler, not SIG_IGN: servers inherit an ignored signal, and a handler resets on exec.
  act.sa_handler = ignoreSignal;
  ::sigaction(SIGPIPE, &act, nullptr);
  ::sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
  for (int signo : INTERRUPTING)
    sigdelset(&wait_mask, signo);
  sigdelset(&wait_mask, SIGCHLD);
}

void waitOnTime() noexcept {
  ::prctl(PR_SET_TIMERSLACK, WAIT_SLACK_NS);
}

bool waitFor(std::span<pollfd> fds, Clock::time_point deadline) {
  if (interrupted != 0) return false;
  timespec limit{};
  timespec* limit_ptr = nullptr;
  if (deadline != Clock::time_point::max()) {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    limit.tv_sec = static_cast<time_t>(ns / 1000000000);
    limit.tv_nsec = static_cast<long>(ns % 1000000000);
    limit_ptr = &limit;
  }
  ::ppoll(fds.data(), fds.size(), limit_ptr, &wait_mask);
  return interrupted == 0;
}

int interruptingSignal() noexcept {
  return interrupted;
}

bool takeChildChange() noexcept {
  const bool changed = child_changed != 0;
  child_changed = 0;
  return changed;
}

void restoreDefaultSignals() noexcept {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigset_t set;
  sigemptyset(&set);
  for (int signo : INTERRUPTING) {
    ::sigaction(signo, &dfl, nullptr);
    sigaddset(&set, signo);
  }
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

int endBySignal(int signal) noexcept {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(signal, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  (void)::raise(signal);
  return 128 + signal;
}

}  // namespace vesk::driver
