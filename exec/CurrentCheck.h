#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exec/Context.h"
#include "exec/MemoryRead.h"

namespace qor {

class DataSection;
class Script;
class ScriptDisplay;
class TargetNetwork;
struct RunnerOptions;
struct Target;
struct TargetEnvironment;

// One area a run would write, with what it would leave there.
struct CurrentArea {
  uint32_t address = 0;
  uint32_t length = 0;
  const DataSection* image = nullptr;  // a *download's image; none for an environment block
  // For a block: the variables the run would leave in it; an empty value means absent.
  std::map<std::string, std::string> variables;
};

// Reads back every area a run would write, before anything is written, to tell whether the
// target already holds what the run would put there: each image compared by CRC-32, each
// environment block read as *loadenv reads it and holding every variable the run would set.
// The script runner runs it first when asked to skip current targets.
class CurrentCheck final : public Context {
 public:
  ~CurrentCheck() override;

  // The areas of script, in the order the script writes them, for a target whose table is
  // table. None when reading them back cannot tell what the run would write: a block written
  // before any *loadenv of it, a script that loads or saves more than one block (the table
  // carries variables from one to the other), areas that overlap.
  [[nodiscard]] static std::optional<std::vector<CurrentArea>> Plan(const Script& script,
                                                                    const RunnerOptions& options,
                                                                    const TargetEnvironment& table);

  // One step of the check of areas, in the manner of a directive's Execute. Returns the context
  // while reading; once done, empty with current set: true when every area holds what the run
  // would write. It stops at the first area that differs. A refused read means "not current":
  // the run itself will meet the refusal and report it.
  [[nodiscard]] static std::unique_ptr<Context> Run(const std::vector<CurrentArea>& areas,
                                                    std::unique_ptr<Context> context,
                                                    TargetNetwork& network, Target& target,
                                                    ScriptDisplay& display,
                                                    std::optional<bool>& current);

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override;
  [[nodiscard]] const PendingRequest* Outstanding() const override;

 private:
  explicit CurrentCheck(const std::vector<CurrentArea>& areas);
  // Starts reading the next area that is not empty; false when none is left.
  bool StartNext(TargetNetwork& network, Target& target, ScriptDisplay& display);

  const std::vector<CurrentArea>& areas_;
  size_t index_ = 0;
  std::unique_ptr<MemoryRead> read_;
};

}  // namespace qor
