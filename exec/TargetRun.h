#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qor {

struct Target;

// Where one target's run stands within a RunSession.
enum class RunOutcome {
  kRunning,
  kFinished,   // every directive ran
  kCurrent,    // nothing ran: the target already held what the script writes
  kFailed,     // a directive's error: a request the target refused, silence, a failed send...
  kCancelled,  // cancelled from outside (Ctrl-C), or never begun before that
  kTimedOut,   // still going when the session's time limit came
  kRefused,    // never started: the target has no IP address
};

// One target of a session and how its run ended.
struct TargetRun {
  Target* target = nullptr;
  RunOutcome outcome = RunOutcome::kRunning;
  std::string error;       // why the run did not finish; empty while running and when finished
  uint32_t elapsedMs = 0;  // from the run's start to its outcome; 0 when refused or never begun
  uint64_t elapsedUs = 0;  // the same in microseconds
  // What went to the target during the run: request bytes, and requests sent again.
  uint64_t bytesSent = 0;
  uint32_t resends = 0;
  // Whether the target answered the script's *restart; none when no *restart finished (a
  // script without one, or a run that ended before it), false when any went unanswered.
  std::optional<bool> restartConfirmed;

  // Finished, or nothing to do as the target held it all already.
  [[nodiscard]] bool Succeeded() const {
    return outcome == RunOutcome::kFinished || outcome == RunOutcome::kCurrent;
  }
};

}  // namespace qor
