#include "exec/ScriptRunner.h"

#include "exec/Context.h"
#include "exec/CurrentCheck.h"
#include "exec/DownloadDirective.h"
#include "exec/LoadSaveEnvDirective.h"
#include "exec/VerifyContext.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"

namespace qor {

struct ScriptRunner::State {
  State(Target& t, const Script& sc, TargetNetwork& n, ScriptDisplay& d, const RunnerOptions& o)
      : target(t), script(sc), network(n), display(d), options(o) {}
  Target& target;
  const Script& script;
  TargetNetwork& network;
  ScriptDisplay& display;
  RunnerOptions options;
  int32_t directiveIndex = 0;
  std::unique_ptr<Context> context;
  // The current *download has been written and its image is being read back.
  bool verifying = false;
  bool closed = false;
  std::optional<bool> restartConfirmed;
  // Reading back what the run would write, before its first directive.
  bool checking = false;
  bool planned = false;
  std::vector<CurrentArea> areas;
  bool current = false;

  void CheckSilence();
  // The run's policy for a *saveenv about to start, before it sends anything.
  void BeforeSaveEnv(const LoadSaveEnvDirective& directive);
  // Runs one step of the current directive, or of the verification after it.
  void Execute(const Directive& directive);
  // One step of the check for a current target.
  void Check();
};

// Every outstanding request has a limit, so a target that has gone away ends the run with an
// error instead of leaving it waiting, or resending, for ever.
void ScriptRunner::State::CheckSilence() {
  if (!context) return;
  const PendingRequest* request = context->Outstanding();
  if (request == nullptr || !request->SilentTooLong(options.silence)) return;
  if (request->Kind() != RequestKind::kRestart) {
    throw Exception(request->SilenceText(options.silence));
  }
  // A target may restart before it answers: the *restart is done, only unconfirmed.
  display.SetStatusText(kRestartUnansweredText);
  context.reset();  // unhooks
  restartConfirmed = false;
  ++directiveIndex;
}

void ScriptRunner::State::BeforeSaveEnv(const LoadSaveEnvDirective& directive) {
  const auto& blocks = target.environment.blocks;
  const auto found = blocks.find(directive.Address());
  if (found != blocks.end() && found->second == EnvironmentBlockState::kDamaged &&
      !options.rewriteDamagedEnvironment) {
    throw Exception(
        Format("The environment block at %08X was damaged when read; writing it "
               "would lose its variables",
               directive.Address()));
  }
  for (const auto& [name, value] : options.unitValues) SetVariable(target.environment, name, value);
}

void ScriptRunner::State::Execute(const Directive& directive) {
  if (verifying) {
    const auto& download = static_cast<const DownloadDirective&>(directive);
    context = VerifyContext::Run(download.Section(), std::move(context), network, target, display);
    if (!context) verifying = false;
    return;
  }
  if (!context && directive.Kind() == kSaveEnvDirective) {
    BeforeSaveEnv(static_cast<const LoadSaveEnvDirective&>(directive));
  }
  directive.Execute(context, network, target, display);
  if (context) return;
  // A *restart finishes here only on its target's answer; unanswered, in CheckSilence.
  if (directive.Kind() == kRestartDirective && !restartConfirmed) restartConfirmed = true;
  if (options.verifyDownloads && directive.Kind() == kDownloadDirective) {
    verifying = true;
    Execute(directive);
  }
}

void ScriptRunner::State::Check() {
  if (!planned) {
    planned = true;
    std::optional<std::vector<CurrentArea>> plan =
        CurrentCheck::Plan(script, options, target.environment);
    if (!plan) {
      checking = false;  // cannot tell: the script runs
      return;
    }
    areas = std::move(*plan);
  }
  std::optional<bool> result;
  context = CurrentCheck::Run(areas, std::move(context), network, target, display, result);
  if (context) return;
  checking = false;
  if (result.value_or(false)) {
    current = true;
    directiveIndex = script.DirectiveCount();
    display.SetStatusText(kAlreadyCurrentText);
  }
}

ScriptRunner::ScriptRunner(Target& target, const Script& script, TargetNetwork& network,
                           ScriptDisplay& display, const RunnerOptions& options)
    : state_(std::make_unique<State>(target, script, network, display, options)) {
  state_->checking = options.skipIfCurrent;
}

ScriptRunner::~ScriptRunner() { Cancel(); }

void ScriptRunner::Step() {
  State& s = *state_;
  if (s.closed) return;
  try {
    s.CheckSilence();
    if (s.checking) {
      s.Check();
      if (s.context) return;
    }
    // The bound is tested before every call, so DirectiveAt never sees an index out of range.
    while (s.directiveIndex < s.script.DirectiveCount()) {
      s.Execute(s.script.DirectiveAt(s.directiveIndex));
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

bool ScriptRunner::Current() const { return state_->current; }

bool ScriptRunner::Closed() const { return state_->closed; }

int32_t ScriptRunner::DirectiveIndex() const { return state_->directiveIndex; }

bool ScriptRunner::Waiting() const { return state_->context != nullptr; }

std::optional<bool> ScriptRunner::RestartConfirmed() const { return state_->restartConfirmed; }

Target& ScriptRunner::RunTarget() const { return state_->target; }

}  // namespace qor
