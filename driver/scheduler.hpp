// vesk-run's scheduler: hands the selected cases to up to N servers and turns what each server
// does (a reply, output, its end, a stop, a deadline passed) into case results, sending requests
// ahead to servers that mark each case's end and putting back the cases a lost server never
// started. How and why: docs/driver-scheduling.md.
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "case_marker.hpp"
#include "case_output.hpp"
#include "case_result.hpp"
#include "server_link.hpp"
#include "server_process.hpp"

namespace vesk::driver {

/// What a run is asked to do.
struct RunPlan {
  std::string_view executable;                    ///< for messages (outlives the scheduler)
  std::span<const std::string> names;             ///< the case table (outlives the scheduler)
  std::span<const std::uint32_t> selected;        ///< table positions to run, in this order
  unsigned jobs = 1;                              ///< servers at once
  double timeout_seconds = 0;                     ///< per case; 0 or less for no limit
  std::size_t output_keep = DEFAULT_OUTPUT_KEEP;  ///< bytes kept at each end of a case's output
  bool isolate = false;                           ///< a fresh server for every case
  bool keep_output = true;  ///< results keep their output after it was announced (for JUnit)
  unsigned retries = 0;     ///< times a failed, crashed or timed-out case runs again
  unsigned max_fail = 0;    ///< bad cases after which no case starts; 0 for no limit
  double slow_seconds = 0;  ///< period of the slow event for a running case; 0 or less for none
  /// The token the servers were given in CASE_MARKER_VARIABLE, or empty: none was asked for.
  std::string_view case_marker = {};
};

/// A server that did not end cleanly after it was asked to exit.
struct ServerExitProblem {
  std::string message;  ///< how it ended, in the driver's words
  std::string output;   ///< what it wrote on standard error since its last case
};

/// How a run ended.
struct RunEnd {
  std::vector<CaseResult> results;  ///< in the order of the selection; unfinished: interrupted
  int signal = 0;                   ///< the signal that interrupted the run, or 0
  std::string failure;              ///< why the run broke off (no server could start), or empty
  std::vector<ServerExitProblem> exit_problems;
};

/// Runs one selection of cases. Every server still there when it is destroyed is killed.
class Scheduler {
 public:
  /// `launcher` and `events` must outlive the scheduler.
  Scheduler(const RunPlan& plan, ServerLauncher& launcher, CaseEvents& events);
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;
  ~Scheduler();

  /// Takes over a server past its handshake; it gets the first case.
  void adopt(ServerLink link);
  /// Runs every case, then asks the servers to exit and waits for their end.
  RunEnd run();

  /// Starts servers up to the job count and hands each a case (done by `run`).
  void start();
  /// One turn: waits until something happens or a deadline passes and handles it; false when
  /// the run cannot go on (interrupted, or no server could start).
  bool turn();
  /// Asks every server to exit; the turns that follow wait for their end (done by `run`).
  void shutDown();
  /// Whether every case has finished (and, after `shutDown`, every server has ended).
  bool done() const noexcept;
  /// The results so far, unfinished cases as interrupted, and how the servers ended.
  RunEnd end();

 private:
  enum class Phase : std::uint8_t {
    gone,     // no process
    idle,     // waiting for a request
    running,  // a case is running
    dying,    // its output ended while a case ran: the rest of its report is being read
    exiting,  // asked to exit: its end is awaited
  };
  // Whether a server marks the end of each case's output, as its first case shows.
  enum class Marking : std::uint8_t { unknown, marks, unmarked };
  struct Server {
    explicit Server(std::size_t keep) noexcept : link(keep) {}
    ServerLink link;
    Phase phase = Phase::gone;
    Marking marking = Marking::unknown;
    std::size_t slot = 0;              // the running case's position in the selection
    std::deque<std::size_t> queued;    // the cases requested behind it, in order
    std::size_t last_slot = SIZE_MAX;  // the case it ran before, or SIZE_MAX
    double last_seconds = 0;           // how long that case took
    bool closing = false;              // takes no new case: it exits once what it has is run
    Clock::time_point started{};
    Clock::time_point version_deadline = Clock::time_point::max();
    Clock::time_point case_deadline = Clock::time_point::max();
    Clock::time_point slow_deadline = Clock::time_point::max();
    unsigned slow_periods = 0;    // slow events told for the running case
    Clock::duration pace{};       // how long its cases take, as their replies come; zero: unknown
    Clock::time_point read_at{};  // when its replies were last read (or its first request sent)
    std::size_t taken = 0;        // results taken since then
    Clock::time_point gather_until = Clock::time_point::max();  // see gatherDeadline
    Clock::time_point report_deadline = Clock::time_point::max();
    Clock::time_point exit_deadline = Clock::time_point::max();
  };

  // Events of one server: what poll found on its output, standard error and process
  // descriptor (`fds`), a change of its state, and its deadlines.
  void handleEvents(Server& server, std::span<const pollfd> fds, bool changed,
                    Clock::time_point now);
  void outputReadable(Server& server, Clock::time_point now);
  void errorsReadable(Server& server);
  void ended(Server& server, Clock::time_point now);
  void stopped(Server& server, int signal, Clock::time_point now);
  void deadlinesPassed(Server& server, Clock::time_point now);

  void outputEnded(Server& server, Clock::time_point now);
  void takeMessages(Server& server, Clock::time_point now);
  bool takeResult(Server& server, Clock::time_point now);
  void protocolBroken(Server& server, const std::string& what, Clock::time_point now);
  std::optional<EndedOutput> endedOutput(Server& server);
  void afterResult(Server& server, bool fresh_server, Clock::time_point now);
  CaseResult& finish(Server& server, Outcome outcome, std::string output, Clock::time_point now);
  bool retryLater(std::size_t slot);
  void countBad(const CaseResult& result);
  void stopStarting();
  void reportSlow(Server& server);
  void announce(CaseResult& result);
  void endCase(Server& server, Outcome outcome, std::string message, Clock::time_point now);
  void replace(Server& server, Clock::time_point now);
  void launch(Server& server, Clock::time_point now);
  void next(Server& server, Clock::time_point now);
  void assign(Server& server, Clock::time_point now);
  void begin(Server& server, Clock::time_point now);
  void sendRequests(Server& server, bool with_running);
  std::size_t depth(const Server& server) const noexcept;
  void requeue(Server& server);
  void restartClock(Server& server, Clock::time_point now);
  void retire(Server& server, Clock::time_point now);
  void exitFinished(Server& server, bool in_time);
  Clock::time_point gatherDeadline(const Server& server) const noexcept;
  bool gatherDue(const Server& server, Clock::time_point now) const noexcept;
  static void markReadable(const Server& server, std::span<pollfd> pipes) noexcept;
  static void learnPace(Server& server, std::size_t in_flight, Clock::time_point now);
  Clock::time_point nextDeadline(Clock::time_point now);
  std::string caseName(std::size_t slot) const;

  RunPlan plan_;
  ServerLauncher& launcher_;
  CaseEvents& events_;
  CaseMarker marker_;
  Clock::duration timeout_;
  Clock::duration slow_;
  std::vector<CaseResult> results_;
  std::deque<std::size_t> pending_;  // slots of the selection waiting for a server
  std::size_t finished_ = 0;
  std::size_t bad_ = 0;        // finished cases that fail the run
  std::list<Server> servers_;  // stable: events hold references across replacements
  std::vector<pollfd> fds_;
  bool shutting_down_ = false;
  std::string failure_;
  std::vector<ServerExitProblem> exit_problems_;
};

}  // namespace vesk::driver
