#pragma once

#include <cstdint>
#include <memory>

namespace qor {

class Script;
class ScriptDisplay;
class TargetNetwork;
struct Target;

// Runs one script against one target, directive by directive. The script dialog and the command
// line drive it: Tick() polls the network and steps; errors come back as Exception.
class ScriptRunner {
 public:
  ScriptRunner(Target& target, const Script& script, TargetNetwork& network,
               ScriptDisplay& display);
  ~ScriptRunner();  // unhooks and destroys a context still running
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;

  // Runs directives until one is waiting or the script is done. Throws Exception.
  void Step();
  // Poll without an observer, then Step. Throws Exception.
  void Tick();
  // Unhooks and destroys the current context; nothing is sent to the target.
  void Cancel();

  [[nodiscard]] bool Finished() const;
  [[nodiscard]] int32_t DirectiveIndex() const;
  [[nodiscard]] bool Waiting() const;  // a context is current

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
