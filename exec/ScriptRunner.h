#pragma once

#include <cstdint>
#include <memory>

#include "exec/PendingRequest.h"

namespace qor {

class Script;
class ScriptDisplay;
class TargetNetwork;
struct Target;

struct RunnerOptions {
  // A directive whose target stays silent about its request longer than this fails.
  SilenceLimits silence;
  // Reads every downloaded image back right after its write and fails unless it matches.
  bool verifyDownloads = false;
};

// Runs one script against one target, directive by directive. The script dialog and the command
// line drive it: Tick() polls the network and steps; errors come back as Exception.
//
// Running: Step runs directives until one waits for the target or the script is done.
// Finished: every directive has run; Tick only polls.
// Closed: cancelled, or a directive failed; nothing runs any more.
class ScriptRunner {
 public:
  ScriptRunner(Target& target, const Script& script, TargetNetwork& network, ScriptDisplay& display,
               const RunnerOptions& options = {});
  ~ScriptRunner();  // unhooks and destroys a context still running
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;

  // Runs directives until one is waiting or the script is done. Throws the Exception of a
  // failing directive, or of a target silent for longer than its limit about the request a
  // directive waits on; the runner is then closed (its context unhooked and destroyed), exactly
  // as if the front end had cancelled it after showing the text.
  void Step();
  // Poll without an observer, then Step. Throws Exception.
  void Tick();
  // Unhooks and destroys the current context; nothing is sent to the target. Closes the runner.
  void Cancel();

  // Every directive has run (it stays true after a later Cancel).
  [[nodiscard]] bool Finished() const;
  [[nodiscard]] bool Closed() const;
  [[nodiscard]] int32_t DirectiveIndex() const;
  [[nodiscard]] bool Waiting() const;  // a context is current
  [[nodiscard]] Target& RunTarget() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
