#include "exec/EnvironmentAccess.h"

#include <ctime>

#include "exec/LoadSaveEnvDirective.h"
#include "net/EnvironmentFile.h"
#include "net/Target.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"

namespace qor {
namespace {

constexpr uint32_t kCrcBytes = 4;

// Reading and writing a block shows no progress.
class SilentDisplay final : public ScriptDisplay {
 public:
  void SetOperationText(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
};

}  // namespace

EnvironmentDifference CompareEnvironment(const EnvironmentEntries& block,
                                         const EnvironmentEntries& wanted) {
  EnvironmentDifference difference;
  for (const auto& [name, value] : wanted) {
    const auto found = block.find(name);
    if (found == block.end()) {
      difference.added.emplace(name, value);
    } else if (found->second != value) {
      difference.changed.emplace(name, std::make_pair(found->second, value));
    }
  }
  for (const auto& [name, value] : block) {
    if (!wanted.contains(name)) difference.removed.emplace(name, value);
  }
  return difference;
}

const char* EnvironmentBlockStateName(EnvironmentBlockState state) {
  switch (state) {
    case EnvironmentBlockState::kValid:
      return "valid";
    case EnvironmentBlockState::kBlank:
      return "blank";
    case EnvironmentBlockState::kDamaged:
      return "damaged";
  }
  return "damaged";
}

std::string EnvironmentBlockStateText(EnvironmentBlockState state) {
  switch (state) {
    case EnvironmentBlockState::kValid:
      return "valid";
    case EnvironmentBlockState::kBlank:
      return "blank (every byte 0xFF)";
    case EnvironmentBlockState::kDamaged:
      return "damaged (its CRC does not match)";
  }
  return EnvironmentBlockStateName(state);
}

struct EnvironmentAccess::State {
  State(TargetNetwork& n, Target& t, EnvironmentBlockPlace p, RunSettings s)
      : network(n), target(t), place(p), settings(std::move(s)) {
    // Each read and write here is asked for as such; Write already skips a block that holds
    // what it would write.
    settings.runner.skipIfCurrent = false;
  }
  TargetNetwork& network;
  Target& target;
  EnvironmentBlockPlace place;
  RunSettings settings;

  // Runs *loadenv or *saveenv on the block as a script of its own.
  void RunDirective(bool isLoad) {
    std::vector<std::unique_ptr<Directive>> directives;
    directives.push_back(
        std::make_unique<LoadSaveEnvDirective>(isLoad, place.address, place.length));
    const Script script(isLoad ? "*loadenv" : "*saveenv", std::move(directives));
    SilentDisplay display;
    RunSession session(script, network, settings);
    session.AddTarget(target, display);
    session.Run();
    const TargetRun& run = session.Runs().front();
    if (run.outcome != RunOutcome::kFinished) throw Exception(run.error);
  }

  EnvironmentReading Read() {
    // *loadenv merges into what the table holds: empty, it holds what the block holds.
    target.environment.entries.clear();
    RunDirective(/*isLoad=*/true);
    return {target.environment.blocks.at(place.address), target.environment.entries};
  }

  // Writes entries unless the block holds them already, then reads it back.
  EnvironmentChange Write(EnvironmentReading before, const EnvironmentEntries& entries) {
    if (before.Holds(entries)) return {std::move(before), false};
    target.environment.entries = entries;
    try {
      // The run refuses a block read as damaged, and a table that does not fit, before
      // anything is sent.
      RunDirective(/*isLoad=*/false);
    } catch (...) {
      target.environment.entries = before.entries;
      throw;
    }
    if (!Read().Holds(entries)) {
      throw Exception(Format("The environment block at %08X does not read back as it was written",
                             place.address));
    }
    return {std::move(before), true};
  }
};

EnvironmentAccess::EnvironmentAccess(TargetNetwork& network, Target& target,
                                     EnvironmentBlockPlace place, RunSettings settings)
    : state_(std::make_unique<State>(network, target, place, std::move(settings))) {
  if (target.ipAddress == 0) {
    throw Exception(
        Format("Target %s has no IP address; assign it one first", target.mac.ToString().c_str()));
  }
  CheckEnvironmentBlockLength(place.length, target.stagingSize);
  if (place.length < kCrcBytes) {
    throw Exception(Format("An environment block of %u byte%s cannot hold its %u-byte CRC",
                           place.length, place.length == 1 ? "" : "s", kCrcBytes));
  }
}

EnvironmentAccess::~EnvironmentAccess() = default;

EnvironmentReading EnvironmentAccess::Read() { return state_->Read(); }

EnvironmentReading EnvironmentAccess::Backup(const std::string& path) {
  const EnvironmentBlockPlace& place = state_->place;
  EnvironmentReading reading = state_->Read();
  if (reading.state == EnvironmentBlockState::kDamaged) {
    throw Exception(
        Format("The environment block at %08X is %s: it holds no variables to back "
               "up, and nothing was written",
               place.address, EnvironmentBlockStateText(reading.state).c_str()));
  }
  char when[32] = "at an unknown time";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* utc = std::gmtime(&now)) {
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
  }
  const std::vector<std::string> comments = {
      Format("Environment of %s: the block at %08X, %u bytes, %s, read %s",
             state_->target.mac.ToString().c_str(), place.address, place.length,
             EnvironmentBlockStateName(reading.state), when),
      "One NAME=VALUE a line; \\\\ is a backslash, \\xHH the byte of hexadecimal value HH"};
  WriteEnvironmentFile(path, EnvironmentFileText(reading.entries, comments));
  return reading;
}

EnvironmentChange EnvironmentAccess::Restore(const EnvironmentEntries& entries) {
  for (const auto& [name, value] : entries) CheckEnvironmentEntry(name, value);
  TargetEnvironment wanted;
  wanted.entries = entries;
  CheckEnvironmentFits(wanted, state_->place.address, state_->place.length);
  return state_->Write(state_->Read(), entries);
}

EnvironmentChange EnvironmentAccess::Set(
    const std::vector<std::pair<std::string, std::string>>& assignments) {
  for (const auto& [name, value] : assignments) CheckEnvironmentEntry(name, value);
  EnvironmentReading before = state_->Read();
  TargetEnvironment wanted;
  wanted.entries = before.entries;
  for (const auto& [name, value] : assignments) SetVariable(wanted, name, value);
  return state_->Write(std::move(before), wanted.entries);
}

std::optional<EnvironmentBlockPlace> EnvironmentAccess::FirstLoadEnv(const Script& script) {
  for (int32_t i = 0; i < script.DirectiveCount(); ++i) {
    const Directive& directive = script.DirectiveAt(i);
    if (directive.Kind() != kLoadEnvDirective) continue;
    const auto& load = static_cast<const LoadSaveEnvDirective&>(directive);
    return EnvironmentBlockPlace{load.Address(), load.Length()};
  }
  return std::nullopt;
}

}  // namespace qor
