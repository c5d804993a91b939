#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
  // Lets *saveenv write over a block that was read as damaged: an operator's repair, on purpose.
  bool rewriteDamagedEnvironment = false;
  // Set in the target's table before every *saveenv builds its block, as if *setenv lines for
  // them stood just before it: the values of one unit (its serial number, say), so that one
  // script serves every unit. Names must be valid variable names, values not empty.
  std::vector<std::pair<std::string, std::string>> unitValues;
  // Before anything is written, reads back every image the script downloads (compared by
  // CRC-32) and the block its *saveenv writes; a target that already holds them all is current:
  // nothing is written to it, not even a *restart, and the run ends at once.
  bool skipIfCurrent = false;
};

// The status line of a run that found its target current.
inline constexpr const char* kAlreadyCurrentText = "Already current; nothing written";

// The status line of a *restart whose target stayed silent past its limit: the request went
// out, and a target that restarts at once may never answer it, so the run still finishes.
inline constexpr const char* kRestartUnansweredText = "Restart sent; the target did not answer";

// Runs one script against one target, directive by directive. The script dialog and the command
// line drive it: Tick() polls the network and steps; errors come back as Exception.
//
// Before a *saveenv starts, the runner applies its policy to the target's table: a block that
// was read as damaged is not written unless the options allow it; then the unit's own values
// are set in it.
//
// With skipIfCurrent, the runner first reads back what the script would write (CurrentCheck);
// a current target finishes at once, any other runs the script as usual.
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
  // as if the front end had cancelled it after showing the text. A *restart left unanswered
  // past its limit is no failure: it finishes showing kRestartUnansweredText, and the run goes
  // on.
  void Step();
  // Poll without an observer, then Step. Throws Exception.
  void Tick();
  // Unhooks and destroys the current context; nothing is sent to the target. Closes the runner.
  void Cancel();

  // Every directive has run (it stays true after a later Cancel).
  [[nodiscard]] bool Finished() const;
  // The run was skipped: the target already held what the script would write. Finished too.
  [[nodiscard]] bool Current() const;
  [[nodiscard]] bool Closed() const;
  [[nodiscard]] int32_t DirectiveIndex() const;
  [[nodiscard]] bool Waiting() const;  // a context is current
  // Whether the target answered the run's *restart: none before a *restart has finished, false
  // once any went unanswered.
  [[nodiscard]] std::optional<bool> RestartConfirmed() const;
  [[nodiscard]] Target& RunTarget() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
