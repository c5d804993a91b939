#include "exec/RunSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

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
  explicit Engine(ScriptDisplay& shown) : display(shown) {}
  ScriptDisplay& display;
  std::unique_ptr<ScriptRunner> runner;
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
  RunObserver* observer = nullptr;
  uint32_t startedAt = 0;

  void Settle(size_t index, RunOutcome outcome, std::string error);
  void Start();
  void StepAll();
  void StepEach();
  [[nodiscard]] bool AnyRunning() const;
  void CancelAll(RunOutcome outcome, const std::string& error);
  [[nodiscard]] bool StopIfDue();
  void Wait();
};

void RunSession::State::Settle(size_t index, RunOutcome outcome, std::string error) {
  TargetRun& run = runs[index];
  run.outcome = outcome;
  run.error = std::move(error);
  if (outcome != RunOutcome::kRefused) run.elapsedMs = GetTickCount() - startedAt;
  if (const ScriptRunner* runner = engines[index]->runner.get()) {
    run.restartConfirmed = runner->RestartConfirmed();
  }
  if (observer != nullptr) observer->RunEnded(index, run);
}

void RunSession::State::Start() {
  startedAt = GetTickCount();
  for (size_t i = 0; i < runs.size(); ++i) {
    Target& target = *runs[i].target;
    if (target.ipAddress == 0) {
      // As the target list greys its script entries: a target without an address is unreachable.
      Settle(i, RunOutcome::kRefused,
             Format("Target %s has no IP address; assign it one before running a script",
                    target.mac.ToString().c_str()));
      continue;
    }
    engines[i]->runner = std::make_unique<ScriptRunner>(target, script, network,
                                                        engines[i]->display, settings.runner);
  }
  // Fast pace takes its first step at once; tick pace waits for its first tick.
  if (settings.pace == RunPace::kFast) StepAll();
}

void RunSession::State::StepAll() {
  // The requests of one step go out together; each target still has one outstanding at most.
  network.HoldSends();
  try {
    StepEach();
  } catch (...) {
    network.SendHeld([](const Target&, const std::string&) {});
    throw;
  }
  network.SendHeld([this](const Target& target, const std::string& message) {
    // As if the directive's own send had failed: its run ends with the text.
    for (size_t i = 0; i < runs.size(); ++i) {
      if (runs[i].target != &target || runs[i].outcome != RunOutcome::kRunning) continue;
      engines[i]->runner->Cancel();
      Settle(i, RunOutcome::kFailed, message);
    }
  });
  if (observer != nullptr) observer->Stepped();
}

void RunSession::State::StepEach() {
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].outcome != RunOutcome::kRunning) continue;
    ScriptRunner& runner = *engines[i]->runner;
    try {
      runner.Step();
      if (runner.Finished()) Settle(i, RunOutcome::kFinished, {});
    } catch (const Exception& error) {
      Settle(i, RunOutcome::kFailed, error.Message());
    } catch (const std::exception& error) {
      runner.Cancel();
      Settle(i, RunOutcome::kFailed, error.what());
    }
  }
}

bool RunSession::State::AnyRunning() const {
  return std::any_of(runs.begin(), runs.end(),
                     [](const TargetRun& run) { return run.outcome == RunOutcome::kRunning; });
}

void RunSession::State::CancelAll(RunOutcome outcome, const std::string& error) {
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].outcome != RunOutcome::kRunning) continue;
    engines[i]->runner->Cancel();  // unhooks; nothing is sent to the target
    Settle(i, outcome, error);
  }
}

bool RunSession::State::StopIfDue() {
  if (settings.cancel != nullptr && settings.cancel->load()) {
    CancelAll(RunOutcome::kCancelled, "Cancelled");
    return true;
  }
  // Unsigned difference: correct across the tick count's wrap.
  if (timeoutMs > 0 && GetTickCount() - startedAt >= timeoutMs) {
    CancelAll(RunOutcome::kTimedOut,
              Format("Timed out after %g seconds; the run was cancelled", settings.timeoutSeconds));
    return true;
  }
  return false;
}

// Waits for the next step and takes in what arrived meanwhile.
void RunSession::State::Wait() {
  if (settings.pace == RunPace::kFast) {
    // The wait is the receive's own: a reply costs one call to wait for and take in.
    network.PollWaiting(static_cast<int>(kStepMs));
    return;
  }
  if (settings.sleep) {
    settings.sleep(kStepMs);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  }
  network.Poll();
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
  TargetRun run;
  run.target = &target;
  state_->runs.push_back(std::move(run));
  state_->engines.push_back(std::make_unique<Engine>(display));
}

void RunSession::Run(RunObserver* observer) {
  State& s = *state_;
  s.observer = observer;
  s.Start();
  while (s.AnyRunning() && !s.StopIfDue()) {
    s.Wait();
    // Ctrl-C or the limit came during the wait: nothing more goes out.
    if (s.StopIfDue()) break;
    s.StepAll();
  }
  s.observer = nullptr;
}

const std::vector<TargetRun>& RunSession::Runs() const { return state_->runs; }

bool RunSession::Succeeded() const {
  return std::all_of(state_->runs.begin(), state_->runs.end(),
                     [](const TargetRun& run) { return run.outcome == RunOutcome::kFinished; });
}

}  // namespace qor
