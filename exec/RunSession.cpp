#include "exec/RunSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

#include "exec/RunObserver.h"
#include "exec/ScriptRunner.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "script/ScriptDisplay.h"

namespace qor {
namespace {

// A signal handler may set the cancel flag only when that needs no lock.
static_assert(std::atomic<bool>::is_always_lock_free);

// The engine side of one target: its runner refers to the display, so neither moves.
struct Engine {
  Engine(ScriptDisplay& shown, RunnerOptions o) : display(shown), options(std::move(o)) {}
  ScriptDisplay& display;
  RunnerOptions options;
  std::unique_ptr<ScriptRunner> runner;  // while the run goes on
  bool begun = false;
  uint32_t startedAt = 0;  // tick count
  uint64_t startedUs = 0;
  // The target's counts when the run began.
  uint64_t bytesBefore = 0;
  uint32_t resendsBefore = 0;
};

}  // namespace

struct RunSession::State {
  State(const Script& sc, TargetNetwork& n, RunSettings s)
      : script(sc), network(n), settings(std::move(s)) {}
  const Script& script;
  TargetNetwork& network;
  RunSettings settings;
  uint32_t timeoutMs = 0;
  std::vector<TargetRun> runs;
  std::vector<std::unique_ptr<Engine>> engines;
  std::vector<size_t> going;  // indices of the runs begun and not yet over, in order
  // The same runs by target, and whether going holds runs that are over: a step's work grows
  // with the replies it took, not with the runs going.
  std::unordered_multimap<const Target*, size_t> goingByTarget;
  bool settledSincePrune = false;
  std::vector<Target*> answered;  // reused by every step
  std::vector<size_t> toStep;
  // The tick of the last step of every run going, and of the last look at the time limit.
  std::optional<uint32_t> everyoneSteppedAt;
  std::optional<uint32_t> limitCheckedAt;
  size_t nextAdded = 0;  // the first added target whose run has not begun
  RunObserver* observer = nullptr;
  bool started = false;
  bool cancelled = false;
  bool joined = false;  // a run began since the last step

  size_t Add(Target& target, ScriptDisplay& display, const RunnerOptions& runner);
  void Begin(size_t index);
  void BeginAdded();
  void Settle(size_t index, RunOutcome outcome, std::string error);
  void StepAll();
  // Sends the step's held requests; a run whose request cannot go fails with the send's text.
  void SendHeld();
  void StepEach();
  void StepAnswered();
  void StepOne(size_t index);
  void Prune();
  void Cancel(size_t index, RunOutcome outcome, const std::string& error);
  [[nodiscard]] bool CancelIfDue();
  void Wait(uint32_t waitMs);
};

size_t RunSession::State::Add(Target& target, ScriptDisplay& display, const RunnerOptions& runner) {
  TargetRun run;
  run.target = &target;
  runs.push_back(std::move(run));
  engines.push_back(std::make_unique<Engine>(display, runner));
  return runs.size() - 1;
}

void RunSession::State::Begin(size_t index) {
  Engine& engine = *engines[index];
  Target& target = *runs[index].target;
  engine.begun = true;
  engine.startedAt = GetTickCount();
  engine.startedUs = GetMicrosecondCount();
  engine.bytesBefore = target.bytesSent;
  engine.resendsBefore = target.resends;
  if (cancelled) {
    Settle(index, RunOutcome::kCancelled, "Cancelled");
    return;
  }
  if (target.ipAddress == 0) {
    // As the target list greys its script entries: a target without an address is unreachable.
    Settle(index, RunOutcome::kRefused,
           Format("Target %s has no IP address; assign it one before running a script",
                  target.mac.ToString().c_str()));
    return;
  }
  engine.runner =
      std::make_unique<ScriptRunner>(target, script, network, engine.display, engine.options);
  going.push_back(index);
  goingByTarget.emplace(&target, index);
  joined = true;
}

// The added targets, as many as the slots take; a refused one takes none.
void RunSession::State::BeginAdded() {
  while (nextAdded < runs.size() && (settings.jobs == 0 || going.size() < settings.jobs)) {
    Begin(nextAdded++);
  }
}

void RunSession::State::Settle(size_t index, RunOutcome outcome, std::string error) {
  TargetRun& run = runs[index];
  Engine& engine = *engines[index];
  run.outcome = outcome;
  run.error = std::move(error);
  settledSincePrune = true;
  if (outcome != RunOutcome::kRefused && engine.begun) {
    run.elapsedMs = GetTickCount() - engine.startedAt;
    run.elapsedUs = GetMicrosecondCount() - engine.startedUs;
  }
  if (engine.begun) {
    run.bytesSent = run.target->bytesSent - engine.bytesBefore;
    run.resends = run.target->resends - engine.resendsBefore;
  }
  if (engine.runner) {
    run.restartConfirmed = engine.runner->RestartConfirmed();
    engine.runner.reset();  // unhooks; the display is no longer used
  }
  if (observer != nullptr) observer->RunEnded(index, run);
}

void RunSession::State::StepAll() {
  // The requests of one step go out together; each target still has one outstanding at most.
  // Every run is stepped when one has just begun, the tick count has moved on (a resend or a
  // silence may have come due) or the network cannot tell whose requests were answered; else
  // only the runs a reply moved on, as the others would do nothing.
  const bool told = network.TakeAnswered(answered);
  const uint32_t now = GetTickCount();
  const bool everyone =
      joined || !told || settings.pace != RunPace::kFast || everyoneSteppedAt != now;
  if (everyone) everyoneSteppedAt = now;
  joined = false;
  // One run has nobody to share a batch with: its request leaves at once.
  const bool holding = going.size() > 1;
  if (holding) network.HoldSends();
  try {
    if (everyone) {
      StepEach();
    } else {
      StepAnswered();
    }
  } catch (...) {
    if (holding) network.SendHeld([](const Target&, const std::string&) {});
    Prune();
    throw;
  }
  if (holding) SendHeld();
  Prune();
  if (observer != nullptr) observer->Stepped();
}

void RunSession::State::SendHeld() {
  network.SendHeld([this](const Target& target, const std::string& message) {
    // As if the directive's own send had failed: its run ends with the text.
    for (size_t k = 0; k < going.size(); ++k) {
      const size_t i = going[k];
      if (runs[i].target != &target || runs[i].outcome != RunOutcome::kRunning) continue;
      Settle(i, RunOutcome::kFailed, message);
    }
  });
}

// By position: an observer told of an outcome may let another target join meanwhile.
void RunSession::State::StepEach() {
  for (size_t k = 0; k < going.size(); ++k) StepOne(going[k]);
}

// In the order of going, as StepEach would step them.
void RunSession::State::StepAnswered() {
  toStep.clear();
  for (const Target* target : answered) {
    const auto [first, last] = goingByTarget.equal_range(target);
    for (auto it = first; it != last; ++it) toStep.push_back(it->second);
  }
  std::sort(toStep.begin(), toStep.end());
  toStep.erase(std::unique(toStep.begin(), toStep.end()), toStep.end());
  for (const size_t i : toStep) StepOne(i);
}

void RunSession::State::StepOne(size_t i) {
  if (runs[i].outcome != RunOutcome::kRunning) return;
  ScriptRunner& runner = *engines[i]->runner;
  // Settled outside the catch: what the observer throws is not the run's failure.
  std::optional<std::string> failure;
  try {
    runner.Step();
  } catch (const Exception& error) {
    failure = error.Message();
  } catch (const std::exception& error) {
    runner.Cancel();
    failure = error.what();
  }
  if (failure) {
    Settle(i, RunOutcome::kFailed, std::move(*failure));
  } else if (runner.Finished()) {
    Settle(i, runner.Current() ? RunOutcome::kCurrent : RunOutcome::kFinished, {});
  }
}

// Forgets the runs that are over; Settle leaves them in place while the list is walked.
void RunSession::State::Prune() {
  if (!settledSincePrune) return;
  settledSincePrune = false;
  const auto over = [this](size_t i) { return runs[i].outcome != RunOutcome::kRunning; };
  std::erase_if(going, over);
  std::erase_if(goingByTarget, [&](const auto& entry) { return over(entry.second); });
}

void RunSession::State::Cancel(size_t index, RunOutcome outcome, const std::string& error) {
  engines[index]->runner->Cancel();  // unhooks; nothing is sent to the target
  Settle(index, outcome, error);
}

// True when the cancel flag has cancelled everything.
bool RunSession::State::CancelIfDue() {
  if (cancelled) return true;
  if (settings.cancel != nullptr && settings.cancel->load()) {
    cancelled = true;
    for (size_t k = 0; k < going.size(); ++k) Cancel(going[k], RunOutcome::kCancelled, "Cancelled");
    going.clear();
    goingByTarget.clear();
    // Added targets that never began are over too.
    while (nextAdded < runs.size()) Begin(nextAdded++);
    return true;
  }
  if (timeoutMs == 0) return false;
  const uint32_t now = GetTickCount();
  // The limit is in whole ticks: once a tick is enough.
  if (limitCheckedAt == now) return false;
  limitCheckedAt = now;
  for (size_t k = 0; k < going.size(); ++k) {
    const size_t i = going[k];
    if (runs[i].outcome != RunOutcome::kRunning) continue;
    // Unsigned difference: correct across the tick count's wrap.
    if (now - engines[i]->startedAt < timeoutMs) continue;
    Cancel(i, RunOutcome::kTimedOut,
           Format("Timed out after %g seconds; the run was cancelled", settings.timeoutSeconds));
  }
  Prune();
  return false;
}

// Waits for the next step and takes in what arrived meanwhile.
void RunSession::State::Wait(uint32_t waitMs) {
  if (settings.pace == RunPace::kFast) {
    // The wait is the receive's own: a reply costs one call to wait for and take in. A run that
    // has just begun is stepped at once.
    network.PollWaiting(joined ? 0 : static_cast<int>(waitMs), settings.announcements);
    return;
  }
  if (settings.sleep) {
    settings.sleep(kStepMs);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  }
  network.Poll(settings.announcements);
}

RunSession::RunSession(const Script& script, TargetNetwork& network, RunSettings settings)
    : state_(std::make_unique<State>(script, network, std::move(settings))) {
  const double seconds = state_->settings.timeoutSeconds;
  // Written so that NaN fails too.
  if (!(seconds >= 0 && seconds <= kMaxTimeoutSeconds)) {
    throw std::invalid_argument(
        Format("A run's time limit is 0 to %.0f seconds, not %g", kMaxTimeoutSeconds, seconds));
  }
  // Rounded up: a limit below one millisecond is still a limit, not "none".
  state_->timeoutMs = static_cast<uint32_t>(std::ceil(seconds * 1000.0));
}

RunSession::~RunSession() = default;

void RunSession::AddTarget(Target& target, ScriptDisplay& display) {
  if (state_->started) throw std::logic_error("A target joins a started session with Join");
  state_->Add(target, display, state_->settings.runner);
}

void RunSession::Start(RunObserver* observer) {
  State& s = *state_;
  s.observer = observer;
  s.started = true;
  s.BeginAdded();
  // Fast pace takes its first step at once; tick pace waits for its first tick.
  if (s.settings.pace == RunPace::kFast && !s.going.empty()) s.StepAll();
}

size_t RunSession::Join(Target& target, ScriptDisplay& display) {
  return Join(target, display, state_->settings.runner);
}

size_t RunSession::Join(Target& target, ScriptDisplay& display, const RunnerOptions& runner) {
  State& s = *state_;
  if (!s.started) throw std::logic_error("A target joins a session once it has started");
  const size_t index = s.Add(target, display, runner);
  s.nextAdded = s.runs.size();
  s.Begin(index);
  return index;
}

void RunSession::Step(uint32_t waitMs) {
  State& s = *state_;
  if (!s.started) throw std::logic_error("A session steps once it has started");
  if (s.CancelIfDue()) return;
  s.Wait(waitMs);
  // Ctrl-C or the limit came during the wait: nothing more goes out.
  if (s.CancelIfDue()) return;
  s.StepAll();
}

size_t RunSession::Running() const { return state_->going.size(); }

bool RunSession::Cancelled() const { return state_->cancelled; }

void RunSession::Run(RunObserver* observer) {
  State& s = *state_;
  Start(observer);
  for (;;) {
    if (!s.cancelled) s.BeginAdded();
    if (s.going.empty() && s.nextAdded == s.runs.size()) break;
    Step();
  }
  s.observer = nullptr;
}

const std::vector<TargetRun>& RunSession::Runs() const { return state_->runs; }

bool RunSession::Succeeded() const {
  return std::all_of(state_->runs.begin(), state_->runs.end(),
                     [](const TargetRun& run) { return run.Succeeded(); });
}

}  // namespace qor
