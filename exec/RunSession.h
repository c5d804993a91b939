#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "exec/ScriptRunner.h"
#include "exec/TargetRun.h"

namespace qor {

class RunObserver;
class Script;
class ScriptDisplay;
class TargetNetwork;
class TargetListObserver;

// How a session moves on between steps. Either way the resend rules run on the tick count.
enum class RunPace {
  kFast,  // step as soon as a reply arrives: the session waits on the socket
  kTick,  // step every 20 ms, as the script dialog's timer does
};

struct RunSettings {
  RunPace pace = RunPace::kFast;
  // Runs still going this many seconds after their own start are cancelled; 0 is no limit.
  double timeoutSeconds = 0;
  // Cancels the runs still going once set; may be set from any thread or a signal handler.
  const std::atomic<bool>* cancel = nullptr;
  // The pause between tick-pace steps; empty for a real sleep. Tests advance a fake clock.
  std::function<void(uint32_t milliseconds)> sleep;
  // Silence limits and read-back of downloads, for every target's runner unless it joins with
  // its own.
  RunnerOptions runner;
  // Run keeps at most this many runs going at once and begins the next added target as one
  // ends; 0 begins them all at once.
  size_t jobs = 0;
  // Told of every DiscoverReply taken in while the session polls: a station watching the
  // network for targets as they appear.
  TargetListObserver* announcements = nullptr;
};

// Runs one script on one or many targets at once over one network, each target with its own
// ScriptRunner and display, until every run has finished, failed, been refused, cancelled or
// timed out. Time comes from the tick count and every wait goes through the socket or
// RunSettings::sleep, so a fake socket and a fake clock drive a whole session.
//
// Run drives a fixed set of targets added beforehand. A caller that finds targets as it goes
// drives the session itself: Start, then Join each target whenever it is ready and Step in a
// loop, Running() telling how many runs are still going.
class RunSession {
 public:
  static constexpr uint32_t kStepMs = 20;  // the script dialog's timer period
  // The limit stays within what the wrapping tick count can measure.
  static constexpr double kMaxTimeoutSeconds = 30.0 * 24 * 60 * 60;

  // Throws std::invalid_argument for a timeout outside 0 to kMaxTimeoutSeconds (NaN too).
  RunSession(const Script& script, TargetNetwork& network, RunSettings settings = {});
  ~RunSession();  // unhooks whatever still waits for a reply
  RunSession(const RunSession&) = delete;
  RunSession& operator=(const RunSession&) = delete;

  // Adds a target before Run or Start. display shows its progress until its run is over.
  void AddTarget(Target& target, ScriptDisplay& display);
  // Runs every target added until each run is over, at most RunSettings::jobs at once, telling
  // observer of each outcome as it happens. A target without an IP address is refused at once.
  void Run(RunObserver* observer = nullptr);

  // Starts the session: the runs of the targets added so far begin (at most jobs of them), and
  // observer is told of every outcome from here on.
  void Start(RunObserver* observer = nullptr);
  // A target joins the started session; its run begins now, to be stepped by the next Step,
  // which then does not wait. A target without an IP address is refused at once, and one that
  // joins after the cancel flag was seen is cancelled at once. display shows its progress until
  // its run is over. Returns the run's index in Runs().
  size_t Join(Target& target, ScriptDisplay& display);
  size_t Join(Target& target, ScriptDisplay& display, const RunnerOptions& runner);
  // Waits for what the targets send, at most waitMs (no wait right after a Join; tick pace
  // sleeps one tick instead), then steps every run still going once. A set cancel flag cancels
  // every run going, a run past the time limit is cancelled, each before anything more is sent.
  void Step(uint32_t waitMs = kStepMs);
  // Runs begun and not yet over.
  [[nodiscard]] size_t Running() const;
  // The cancel flag was seen: every run was cancelled.
  [[nodiscard]] bool Cancelled() const;

  // One per target, in the order they were added or joined.
  [[nodiscard]] const std::vector<TargetRun>& Runs() const;
  // Every run finished, or found its target current.
  [[nodiscard]] bool Succeeded() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
