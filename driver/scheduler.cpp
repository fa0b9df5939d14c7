#include "scheduler.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "messages.hpp"
#include "report_lines.hpp"
#include "waiting.hpp"

namespace vesk::driver {

namespace {

using namespace std::chrono_literals;

// A server that closed its output while a case ran is writing its stop report; symbolising takes
// milliseconds, this much is given before it is killed.
constexpr auto REPORT_LIMIT = 5s;

// Requests in flight on a server that marks its cases' ends: enough that it always finds the next
// one waiting, few enough that a queue behind a slow case stays short. They are topped up once a
// quarter of them have run, so that each write carries several.
constexpr std::size_t PIPELINE_DEPTH = 32;
// A server with requests in hand is not watched: the driver lets it work until about half of them
// should have run, at its pace so far, and then reads all their replies in one turn, since each
// wake-up costs the driver and the server more than a trivial case does. The wait stays within
// these bounds, far below the time that marks a case as slow; a server whose cases take longer
// than half the longest wait is watched, so that each reply is seen when it comes.
constexpr auto GATHER_MIN = 20us;
constexpr auto GATHER_MAX = 400us;
// A case that took this long is worth a round trip: behind it, one request at a time, so that the
// cases left are spread over the servers that are free.
constexpr double PIPELINE_CASE_SECONDS = 0.001;

}  // namespace

Scheduler::Scheduler(const RunPlan& plan, ServerLauncher& launcher, CaseEvents& events)
    : plan_(plan),
      launcher_(launcher),
      events_(events),
      marker_(plan.case_marker),
      timeout_(plan.timeout_seconds > 0 ? std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(plan.timeout_seconds))
                                        : Clock::duration::max()),
      slow_(plan.slow_seconds > 0 ? std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(plan.slow_seconds))
                                  : Clock::duration::max()),
      results_(plan.selected.size()) {
  for (std::size_t slot = 0; slot < plan.selected.size(); ++slot) {
    results_[slot].index = plan.selected[slot];
    results_[slot].slot = slot;
    pending_.push_back(slot);
  }
}

Scheduler::~Scheduler() {
  for (Server& server : servers_) {
    launcher_.kill(server.link.process);
    closeServerPipes(server.link.process);
  }
}

void Scheduler::adopt(ServerLink link) {
  Server& server = servers_.emplace_back(plan_.output_keep);
  server.link = std::move(link);
  server.link.err = CaseOutputs(plan_.output_keep);
  server.link.err.cutAt(marker_);
  server.marking = marker_.active() ? Marking::unknown : Marking::unmarked;
  server.phase = Phase::idle;
}

RunEnd Scheduler::run() {
  start();
  bool going = true;
  while (going && !done())
    going = turn();
  if (going) {
    shutDown();
    while (going && !done())
      going = turn();
  }
  return end();
}

void Scheduler::start() {
  const std::size_t wanted =
      std::max<std::size_t>(1, std::min<std::size_t>(plan_.jobs, plan_.selected.size()));
  // The adopted server works while the others start.
  for (Server& server : servers_) {
    if (server.phase == Phase::idle) assign(server, Clock::now());
  }
  while (servers_.size() < wanted && failure_.empty() && !pending_.empty())
    launch(servers_.emplace_back(plan_.output_keep), Clock::now());
}

void Scheduler::shutDown() {
  shutting_down_ = true;
  for (Server& server : servers_) {
    if (server.phase == Phase::idle) retire(server, Clock::now());
  }
}

bool Scheduler::done() const noexcept {
  if (finished_ < results_.size()) return false;
  if (!shutting_down_) return true;
  return std::all_of(servers_.begin(), servers_.end(),
                     [](const Server& server) { return server.phase == Phase::gone; });
}

RunEnd Scheduler::end() {
  RunEnd end;
  end.results = results_;
  end.signal = interruptingSignal();
  end.failure = failure_;
  end.exit_problems = exit_problems_;
  return end;
}

bool Scheduler::turn() {
  if (!failure_.empty()) return false;
  Clock::time_point deadline = nextDeadline(Clock::now());
  fds_.resize(3 * servers_.size());
  std::size_t i = 0;
  for (Server& server : servers_) {
    const ServerLink& link = server.link;
    server.gather_until = gatherDeadline(server);
    deadline = std::min(deadline, server.gather_until);
    const bool watched = server.gather_until == Clock::time_point::max();
    // A server's output comes before its standard error: poll reports what it finds in array
    // order, so when a reply is seen, everything the case wrote before it is seen too, and is
    // read before the reply is taken.
    fds_[i++] = pollfd{watched && link.out_open ? link.process.out_fd : -1, POLLIN, 0};
    fds_[i++] = pollfd{watched && link.err_open ? link.process.err_fd : -1, POLLIN, 0};
    fds_[i++] = pollfd{server.phase == Phase::gone ? -1 : link.exitFd(), POLLIN, 0};
  }
  if (!waitFor(fds_, deadline)) return false;
  const Clock::time_point now = Clock::now();
  const bool changed = takeChildChange();
  // Servers started while these events are handled join the list after the polled ones.
  auto server = servers_.begin();
  for (std::size_t at = 0; at < fds_.size(); at += 3, ++server) {
    if (gatherDue(*server, now)) markReadable(*server, std::span(fds_).subspan(at, 2));
    handleEvents(*server, std::span(fds_).subspan(at, 3), changed, now);
  }
  // Servers that ended with no case left for them leave the list.
  servers_.remove_if([](const Server& server) { return server.phase == Phase::gone; });
  return failure_.empty();
}

// When the server's replies are to be read next, or never (max) when its pipes are watched: while
// it has two requests or more in flight and its cases are quick.
Clock::time_point Scheduler::gatherDeadline(const Server& server) const noexcept {
  const std::size_t in_flight = 1 + server.queued.size();
  if (server.phase != Phase::running || !server.link.version_seen || in_flight < 2 ||
      server.pace == Clock::duration::zero() || server.pace > GATHER_MAX / 2) {
    return Clock::time_point::max();
  }
  const auto half = static_cast<Clock::rep>(in_flight / 2);
  return server.read_at + std::clamp<Clock::duration>(server.pace * half, GATHER_MIN, GATHER_MAX);
}

// Whether a server that is not watched is read in this turn: its time has come, or nearly (so
// that servers topped up together are read together), or a deadline of its case has passed, which
// its replies may answer.
bool Scheduler::gatherDue(const Server& server, Clock::time_point now) const noexcept {
  if (server.gather_until == Clock::time_point::max()) return false;
  const Clock::duration slack = (server.gather_until - server.read_at) / 4;
  return now + slack >= server.gather_until || now >= server.case_deadline ||
         now >= server.slow_deadline;
}

// Makes a server that was not watched read as if poll had found its pipes readable: the reads
// take what is there and never block.
void Scheduler::markReadable(const Server& server, std::span<pollfd> pipes) noexcept {
  pipes[0].revents = server.link.out_open ? POLLIN : 0;
  pipes[1].revents = server.link.err_open ? POLLIN : 0;
}

// Learns the server's pace from the replies one read brought: the time since the read before over
// their number, averaged with the pace so far; when they were all it had, it may have waited part
// of the time, and half of that bounds the pace. A read that brought none shows a case that took
// longer than thought, or a server that got no processor for a while: the pace at most doubles.
void Scheduler::learnPace(Server& server, std::size_t in_flight, Clock::time_point now) {
  const std::size_t taken = std::exchange(server.taken, 0);
  const Clock::duration interval = now - std::exchange(server.read_at, now);
  if (taken == 0) {
    server.pace = std::max(server.pace, std::min(server.pace * 2, interval));
    return;
  }
  const Clock::duration pace = interval / static_cast<Clock::rep>(taken);
  if (server.pace == Clock::duration::zero()) {
    server.pace = pace;
  } else if (taken >= in_flight) {
    server.pace = std::min(server.pace, pace / 2);
  } else {
    server.pace = (server.pace + pace) / 2;
  }
}

Clock::time_point Scheduler::nextDeadline(Clock::time_point now) {
  Clock::time_point deadline = events_.tick(now);
  for (const Server& server : servers_) {
    switch (server.phase) {
      case Phase::running:
        deadline = std::min({deadline, server.case_deadline, server.slow_deadline});
        if (!server.link.version_seen) deadline = std::min(deadline, server.version_deadline);
        break;
      case Phase::dying:
        deadline = std::min(deadline, server.report_deadline);
        break;
      case Phase::exiting:
        deadline = std::min(deadline, server.exit_deadline);
        break;
      case Phase::gone:
      case Phase::idle:
        break;
    }
  }
  return deadline;
}

// ---------------------------------------------------------------------------------------------
// Events

void Scheduler::handleEvents(Server& server, std::span<const pollfd> fds, bool changed,
                             Clock::time_point now) {
  if (server.phase == Phase::gone) return;
  const std::size_t in_flight = 1 + server.queued.size();
  if (fds[1].revents != 0) errorsReadable(server);
  if (fds[2].revents != 0) {
    ended(server, now);
  } else if (fds[0].revents != 0) {
    outputReadable(server, now);
    if (server.phase == Phase::running) {
      learnPace(server, in_flight, now);
      // Once for all the replies this turn took: one write carries the requests they made room for.
      sendRequests(server, false);
    }
  }
  if (changed && server.phase == Phase::running) {
    if (const int signal = launcher_.stopped(server.link.process); signal != 0)
      stopped(server, signal, now);
  }
  deadlinesPassed(server, now);
}

void Scheduler::outputReadable(Server& server, Clock::time_point now) {
  if (!server.link.readReplies()) outputEnded(server, now);
  takeMessages(server, now);
}

void Scheduler::errorsReadable(Server& server) {
  server.link.readErrors();
}

void Scheduler::ended(Server& server, Clock::time_point now) {
  server.link.noteExit();
  outputEnded(server, now);
  takeMessages(server, now);
}

void Scheduler::stopped(Server& server, int signal, Clock::time_point now) {
  launcher_.kill(server.link.process);
  endCase(server, Outcome::crashed, "stopped by " + signalName(signal), now);
}

void Scheduler::deadlinesPassed(Server& server, Clock::time_point now) {
  if (server.phase == Phase::running && now >= server.slow_deadline) reportSlow(server);
  if (server.phase == Phase::running && !server.link.version_seen &&
      now >= server.version_deadline) {
    protocolBroken(server,
                   "a restarted server sent no protocol version within " +
                       std::to_string(HANDSHAKE_LIMIT_SECONDS) + " s",
                   now);
  } else if (server.phase == Phase::running && now >= server.case_deadline) {
    launcher_.kill(server.link.process);
    char text[64];
    (void)std::snprintf(text, sizeof text, "timed out after %g s", plan_.timeout_seconds);
    endCase(server, Outcome::timed_out, text, now);
  } else if (server.phase == Phase::dying &&
             (!server.link.err_open || now >= server.report_deadline)) {
    const ServerEnd end = launcher_.kill(server.link.process);
    server.link.readErrors();
    // The report's first line names the crash; without one, how the server ended does.
    std::string message(findReportLine(server.link.err.text()).value_or(""));
    if (message.empty()) message = "the server " + describeEnd(end);
    endCase(server, Outcome::crashed, std::move(message), now);
  } else if (server.phase == Phase::idle && !server.link.out_open) {
    // It ended on its own after a reply; the cases left need a server all the same.
    launcher_.kill(server.link.process);
    replace(server, now);
  } else if (server.phase == Phase::exiting) {
    // Without a process descriptor the end of both pipes is the only sign of its end.
    const ServerLink& link = server.link;
    const bool over = link.exited || (link.process.pid_fd < 0 && !link.out_open && !link.err_open);
    if (over || now >= server.exit_deadline) exitFinished(server, over);
  }
}

void Scheduler::outputEnded(Server& server, Clock::time_point now) {
  server.link.out_open = false;
  if (server.phase == Phase::running) {
    server.phase = Phase::dying;
    server.report_deadline = now + REPORT_LIMIT;
  }
  // The rest of a report is awaited only from a server that still runs.
  if (server.phase == Phase::dying && server.link.exited) server.report_deadline = now;
}

void Scheduler::takeMessages(Server& server, Clock::time_point now) {
  FrameQueue& replies = server.link.replies;
  while (server.phase != Phase::gone && replies.hasHeader()) {
    if (!server.link.version_seen) {
      const auto step = takeVersion(replies, plan_.executable);
      if (!step) return protocolBroken(server, step.error(), now);
      if (*step == Step::wait) return;
      server.link.version_seen = true;
      // The case's time and time limit start when its server is ready for it.
      if (server.phase == Phase::running) restartClock(server, now);
      continue;
    }
    if (!takeResult(server, now)) return;
  }
}

// Takes the result at the front of the server's replies; false when it is not whole yet or the
// server is gone for breaking the protocol.
bool Scheduler::takeResult(Server& server, Clock::time_point now) {
  FrameQueue& replies = server.link.replies;
  const MessageHeader header = replies.header();
  if (server.phase != Phase::running && server.phase != Phase::dying) {
    protocolBroken(server, "it sent a message with tag " + hex(header.tag) + " unasked", now);
    return false;
  }
  if (header.tag != static_cast<std::uint32_t>(ProgramTag::test_results) ||
      header.bytes_len != TEST_RESULTS_LEN) {
    protocolBroken(server,
                   "it replied with tag " + hex(header.tag) + " and " +
                       std::to_string(header.bytes_len) + " bytes, not a result record",
                   now);
    return false;
  }
  if (!replies.hasMessage()) return false;
  const TestResults got = decodeTestResults(replies.body());
  replies.discardMessage();
  const std::uint32_t index = plan_.selected[server.slot];
  if (got.index != index) {
    std::string what = "it replied with the result of case index " + std::to_string(got.index);
    if (server.last_slot != SIZE_MAX && got.index == plan_.selected[server.last_slot])
      what += " (" + caseName(server.last_slot) + ", again)";
    protocolBroken(server, what + " instead of " + std::to_string(index), now);
    return false;
  }
  if ((got.flags & RESULT_FAIL) != 0 && (got.flags & RESULT_SKIP) != 0) {
    protocolBroken(server, "it reported the case as both failed and skipped", now);
    return false;
  }
  std::optional<EndedOutput> output = endedOutput(server);
  if (!output) {
    protocolBroken(server,
                   "it sent the result of " + caseName(server.slot) +
                       " without the marker that ends its output",
                   now);
    return false;
  }
  // A result that came with the end of the output still counts: the case finished.
  const bool ended = server.phase == Phase::dying;
  CaseResult& result = finish(server,
                              (got.flags & RESULT_FAIL) != 0   ? Outcome::failed
                              : (got.flags & RESULT_SKIP) != 0 ? Outcome::skipped
                                                               : Outcome::passed,
                              std::move(output->text), now);
  // A marking server timed the case itself: the driver may have read its result late, together
  // with others.
  if (server.marking == Marking::marks) result.seconds = server.last_seconds = output->seconds;
  result.leaked = (got.flags & RESULT_LEAK) != 0;
  result.log_errors = got.flags >> RESULT_LOG_ERRORS_SHIFT;
  ++server.taken;
  const bool again = retryLater(server.slot);
  if (!again) countBad(result);
  // The next request goes out before the report is written, to keep the server busy.
  if (ended) {
    next(server, now);
  } else {
    afterResult(server, again, now);
  }
  if (!again) announce(result);
  return true;
}

// The output of the case whose result arrived: with markers, what came before its marker, which
// the server wrote before the result and so is in the pipe (read now if it was not yet). The
// first result of a server tells whether it writes markers. No value: a marking server left one
// out.
std::optional<EndedOutput> Scheduler::endedOutput(Server& server) {
  CaseOutputs& err = server.link.err;
  if (server.marking != Marking::unmarked && !err.hasEnded()) server.link.readErrorsBeforeReply();
  if (err.hasEnded()) {
    server.marking = Marking::marks;
    return err.takeEnded();
  }
  if (server.marking == Marking::marks) return std::nullopt;
  server.marking = Marking::unmarked;
  return EndedOutput{err.take()};
}

// A server that sends what the protocol does not allow costs the case it was running; one that
// does so after its last reply costs the case that reply was for, which is then revised.
void Scheduler::protocolBroken(Server& server, const std::string& what, Clock::time_point now) {
  launcher_.kill(server.link.process);
  const std::string message = "the server broke the protocol: " + what;
  if (server.phase == Phase::running || server.phase == Phase::dying) {
    return endCase(server, Outcome::crashed, message, now);
  }
  if (server.last_slot != SIZE_MAX) {
    CaseResult& result = results_[server.last_slot];
    const bool was_bad = !isClean(result);
    result.outcome = Outcome::crashed;
    result.end_message = message + " after the case's result";
    events_.caseRevised(result);
    if (!was_bad) countBad(result);
  }
  if (server.phase == Phase::exiting) {
    closeServerPipes(server.link.process);
    server.phase = Phase::gone;
    return;
  }
  replace(server, now);
}

// ---------------------------------------------------------------------------------------------
// Bookkeeping

// A case that failed runs again on a fresh server: whatever its try left in the process is gone.
void Scheduler::afterResult(Server& server, bool fresh_server, Clock::time_point now) {
  if (!plan_.isolate && !fresh_server) return next(server, now);
  // The used server ends on its own time, once the cases already sent to it have run; a fresh
  // one takes the next case at once.
  Server& fresh =
      *servers_.emplace(std::next(std::find_if(servers_.begin(), servers_.end(),
                                               [&](const Server& s) { return &s == &server; })),
                        plan_.output_keep);
  server.closing = true;
  next(server, now);
  if (!pending_.empty()) launch(fresh, now);
}

CaseResult& Scheduler::finish(Server& server, Outcome outcome, std::string output,
                              Clock::time_point now) {
  CaseResult& result = results_[server.slot];
  result.outcome = outcome;
  result.seconds = std::chrono::duration<double>(now - server.started).count();
  result.output = std::move(output);
  server.last_slot = server.slot;
  server.last_seconds = result.seconds;
  ++finished_;
  return result;
}

// Puts a failed, crashed or timed-out case back at the front of the queue when it has tries
// left, keeping the try in its result; true when it will run again.
bool Scheduler::retryLater(std::size_t slot) {
  CaseResult& result = results_[slot];
  const bool bad = result.outcome == Outcome::failed || result.outcome == Outcome::crashed ||
                   result.outcome == Outcome::timed_out;
  const bool at_limit = plan_.max_fail != 0 && bad_ >= plan_.max_fail;
  if (!bad || result.earlier_tries.size() >= plan_.retries || shutting_down_ || at_limit ||
      interruptingSignal() != 0)
    return false;
  result.earlier_tries.push_back(
      {result.outcome, result.seconds, std::move(result.output), std::move(result.end_message)});
  result.output.clear();
  result.end_message.clear();
  result.outcome = Outcome::interrupted;
  result.leaked = false;
  result.log_errors = 0;
  --finished_;
  pending_.push_front(slot);
  return true;
}

// Counts a case that fails the run; at the run's limit no case starts any more.
void Scheduler::countBad(const CaseResult& result) {
  if (isClean(result)) return;
  ++bad_;
  if (plan_.max_fail != 0 && bad_ == plan_.max_fail) stopStarting();
}

// The waiting cases are not run; one that waits for a retry keeps the outcome of its last try.
// Cases already running finish and are reported.
void Scheduler::stopStarting() {
  for (const std::size_t slot : pending_) {
    CaseResult& result = results_[slot];
    ++finished_;
    if (result.earlier_tries.empty()) {
      result.outcome = Outcome::not_run;
      continue;
    }
    EarlierTry& last = result.earlier_tries.back();
    result.outcome = last.outcome;
    result.seconds = last.seconds;
    result.output = std::move(last.output);
    result.end_message = std::move(last.end_message);
    result.earlier_tries.pop_back();
    announce(result);
  }
  pending_.clear();
}

// Tells the listener that the server's case has run another slow period.
void Scheduler::reportSlow(Server& server) {
  ++server.slow_periods;
  server.slow_deadline = server.started + slow_ * (server.slow_periods + 1);
  events_.caseSlow(server.slot, plan_.slow_seconds * server.slow_periods);
}

// Tells the listener; the output goes unless a report still needs it, so that memory does not
// grow with the number of cases.
void Scheduler::announce(CaseResult& result) {
  events_.caseFinished(result);
  if (!plan_.keep_output) std::string().swap(result.output);
}

// Reports the end of the case whose server is gone, then puts a fresh server in its place when
// cases are left.
void Scheduler::endCase(Server& server, Outcome outcome, std::string message,
                        Clock::time_point now) {
  server.link.readErrors();
  // All it wrote since the last case is this case's, a report after its marker included.
  CaseResult& result = finish(server, outcome, server.link.err.takeAll(), now);
  result.end_message = std::move(message);
  requeue(server);
  const bool again = retryLater(server.slot);
  if (!again) countBad(result);
  replace(server, now);
  if (!again) announce(result);
}

void Scheduler::replace(Server& server, Clock::time_point now) {
  closeServerPipes(server.link.process);
  server.link.out_open = server.link.err_open = false;
  server.phase = Phase::gone;
  if (!pending_.empty() && !shutting_down_) launch(server, now);
}

void Scheduler::launch(Server& server, Clock::time_point now) {
  const auto process = launcher_.start();
  if (!process) {
    failure_ = process.error();
    return;
  }
  server.link.start(*process);
  server.link.err.cutAt(marker_);
  server.marking = marker_.active() ? Marking::unknown : Marking::unmarked;
  server.queued.clear();
  server.closing = false;
  server.last_slot = SIZE_MAX;
  server.last_seconds = 0;
  server.pace = Clock::duration::zero();
  server.phase = Phase::idle;
  server.version_deadline = now + HANDSHAKE_LIMIT;
  assign(server, now);
}

// After a result: the case sent behind the one that ended starts, or the server retires, or it
// is given the next waiting case. A server whose output ended takes no request: the case sent
// behind is the one it ended in, and without one it waits, idle, to be replaced.
void Scheduler::next(Server& server, Clock::time_point now) {
  const bool ended = server.phase == Phase::dying;
  if (!server.queued.empty()) {
    server.slot = server.queued.front();
    server.queued.pop_front();
    begin(server, now);
  } else if (ended) {
    server.phase = Phase::idle;
  } else if (server.closing) {
    retire(server, now);
  } else {
    assign(server, now);
  }
}

// Hands the next waiting case to `server`, or leaves it idle.
void Scheduler::assign(Server& server, Clock::time_point now) {
  if (pending_.empty()) {
    server.phase = Phase::idle;
    if (shutting_down_) retire(server, now);
    return;
  }
  server.slot = pending_.front();
  pending_.pop_front();
  // A server that ran out of requests goes on learning its pace; one that was idle starts now.
  if (server.phase != Phase::running) {
    server.read_at = now;
    server.taken = 0;
  }
  server.phase = Phase::running;
  sendRequests(server, true);
  begin(server, now);
}

// The running case started now: the server finished the case before it.
void Scheduler::begin(Server& server, Clock::time_point now) {
  restartClock(server, now);
  events_.caseStarted(server.slot);
}

// Sends, in one write, the request for the running case when `with_running`, and requests for
// waiting cases behind it up to the server's depth.
void Scheduler::sendRequests(Server& server, bool with_running) {
  constexpr std::size_t REQUEST_LEN = HEADER_LEN + RUN_TEST_LEN;
  std::array<std::byte, PIPELINE_DEPTH * REQUEST_LEN> bytes;
  std::size_t len = 0;
  const auto add = [&](std::size_t slot) {
    const auto request = encodeRunTest(plan_.selected[slot]);
    std::copy(request.begin(), request.end(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
    len += REQUEST_LEN;
  };
  const std::size_t most = depth(server);
  if (with_running) {
    add(server.slot);
  } else if (1 + server.queued.size() > most - most / 4) {
    return;
  }
  while (1 + server.queued.size() < most && !pending_.empty()) {
    server.queued.push_back(pending_.front());
    pending_.pop_front();
    add(server.queued.back());
  }
  if (len != 0) sendRequest(server.link.process, std::span(bytes.data(), len));
}

// How many requests a server may have in flight, the running case's included.
std::size_t Scheduler::depth(const Server& server) const noexcept {
  // A run with a failure limit stops exactly there: no request is sent that might have to wait.
  const bool ahead = server.marking == Marking::marks && !plan_.isolate && !server.closing &&
                     plan_.max_fail == 0 && server.last_seconds < PIPELINE_CASE_SECONDS;
  return ahead ? PIPELINE_DEPTH : 1;
}

// The cases sent behind a case whose server is gone never started: they wait again, first.
void Scheduler::requeue(Server& server) {
  pending_.insert(pending_.begin(), server.queued.begin(), server.queued.end());
  server.queued.clear();
}

void Scheduler::restartClock(Server& server, Clock::time_point now) {
  server.started = now;
  server.slow_periods = 0;
  server.slow_deadline = slow_ == Clock::duration::max() ? Clock::time_point::max() : now + slow_;
  server.case_deadline =
      timeout_ == Clock::duration::max() ? Clock::time_point::max() : now + timeout_;
}

// Sends `exit`; what the server writes from here is read only to see how it ends.
void Scheduler::retire(Server& server, Clock::time_point now) {
  sendRequest(server.link.process, encodeRequest(DriverTag::exit));
  closeRequests(server.link.process);
  server.phase = Phase::exiting;
  server.exit_deadline = now + EXIT_LIMIT;
}

void Scheduler::exitFinished(Server& server, bool in_time) {
  const ServerEnd end = launcher_.kill(server.link.process);
  server.link.readErrors();
  if (!in_time || end.signal != 0 || end.exit_code != 0) {
    exit_problems_.push_back({in_time
                                  ? "a server " + describeEnd(end) + " after the exit request"
                                  : "a server did not end within " +
                                        std::to_string(std::chrono::seconds(EXIT_LIMIT).count()) +
                                        " s of the exit request",
                              server.link.err.takeAll()});
  }
  closeServerPipes(server.link.process);
  server.phase = Phase::gone;
}

std::string Scheduler::caseName(std::size_t slot) const {
  return quoted(plan_.names[plan_.selected[slot]]);
}

}  // namespace vesk::driver
