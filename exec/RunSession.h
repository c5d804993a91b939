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

// How a session moves on between steps. Either way the resend rules run on the tick count.
enum class RunPace {
  kFast,  // step as soon as a reply arrives: the session waits on the socket
  kTick,  // step every 20 ms, as the script dialog's timer does
};

struct RunSettings {
  RunPace pace = RunPace::kFast;
  // Runs still going this many seconds after the start are cancelled; 0 is no limit.
  double timeoutSeconds = 0;
  // Cancels the runs still going once set; may be set from any thread or a signal handler.
  const std::atomic<bool>* cancel = nullptr;
  // The pause between tick-pace steps; empty for a real sleep. Tests advance a fake clock.
  std::function<void(uint32_t milliseconds)> sleep;
  // Silence limits and read-back of downloads, for every target's runner.
  RunnerOptions runner;
};

// Runs one script on one or many targets at once over one network, each target with its own
// ScriptRunner and display, until every run has finished, failed, been refused, cancelled or
// timed out. Time comes from the tick count and every wait goes through the socket or
// RunSettings::sleep, so a fake socket and a fake clock drive a whole session.
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

  // Adds a target before Run. display shows its progress and outlives the session.
  void AddTarget(Target& target, ScriptDisplay& display);
  // Runs every target added until each run is over, telling observer of each outcome as it
  // happens. A target without an IP address is refused at once.
  void Run(RunObserver* observer = nullptr);

  // One per target, in the order they were added.
  [[nodiscard]] const std::vector<TargetRun>& Runs() const;
  // Every run finished.
  [[nodiscard]] bool Succeeded() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
