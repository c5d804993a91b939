#include "exec/ScriptRunner.h"

#include "exec/Context.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"

namespace qor {

struct ScriptRunner::State {
  State(Target& t, const Script& sc, TargetNetwork& n, ScriptDisplay& d)
      : target(t), script(sc), network(n), display(d) {}
  Target& target;
  const Script& script;
  TargetNetwork& network;
  ScriptDisplay& display;
  int32_t directiveIndex = 0;
  std::unique_ptr<Context> context;
  bool closed = false;
};

ScriptRunner::ScriptRunner(Target& target, const Script& script, TargetNetwork& network,
                           ScriptDisplay& display)
    : state_(std::make_unique<State>(target, script, network, display)) {}

ScriptRunner::~ScriptRunner() { Cancel(); }

void ScriptRunner::Step() {
  State& s = *state_;
  if (s.closed) return;
  try {
    // The bound is tested before every call, so DirectiveAt never sees an index out of range.
    while (s.directiveIndex < s.script.DirectiveCount()) {
      const Directive& directive = s.script.DirectiveAt(s.directiveIndex);
      directive.Execute(s.context, s.network, s.target, s.display);
      if (s.context) return;
      ++s.directiveIndex;
    }
  } catch (...) {
    // Close, unhooking and destroying the failing directive's context, so that nothing runs
    // after the error, whatever the front end does next.
    Cancel();
    throw;
  }
}

void ScriptRunner::Tick() {
  if (state_->closed) return;
  state_->network.Poll();
  Step();
}

void ScriptRunner::Cancel() {
  State& s = *state_;
  s.closed = true;
  if (s.context) {
    s.context->Unhook();
    s.context.reset();
  }
}

bool ScriptRunner::Finished() const {
  return state_->directiveIndex >= state_->script.DirectiveCount();
}

bool ScriptRunner::Closed() const { return state_->closed; }

int32_t ScriptRunner::DirectiveIndex() const { return state_->directiveIndex; }

bool ScriptRunner::Waiting() const { return state_->context != nullptr; }

Target& ScriptRunner::RunTarget() const { return state_->target; }

}  // namespace qor
