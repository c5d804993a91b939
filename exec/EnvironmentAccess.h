#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "exec/RunSession.h"
#include "net/TargetEnvironment.h"

namespace qor {

class Script;
class TargetNetwork;
struct Target;

using EnvironmentEntries = std::map<std::string, std::string>;

// Where an environment block lies in a target's memory.
struct EnvironmentBlockPlace {
  uint32_t address = 0;
  uint32_t length = 0;
};

// What reading a target's block found.
struct EnvironmentReading {
  EnvironmentBlockState state = EnvironmentBlockState::kBlank;
  EnvironmentEntries entries;  // the block's variables; none unless it is valid

  // The block is valid and holds exactly wanted: writing wanted would change nothing.
  [[nodiscard]] bool Holds(const EnvironmentEntries& wanted) const {
    return state == EnvironmentBlockState::kValid && entries == wanted;
  }
};

// What a Set or Restore did.
struct EnvironmentChange {
  EnvironmentReading before;  // the block as it was found
  bool changed = false;       // a block was written, and read back as written
};

// How a block's variables differ from wanted ones, by name.
struct EnvironmentDifference {
  EnvironmentEntries added;                                            // wanted, not in the block
  EnvironmentEntries removed;                                          // in the block, not wanted
  std::map<std::string, std::pair<std::string, std::string>> changed;  // (block's, wanted)

  [[nodiscard]] bool Empty() const { return added.empty() && removed.empty() && changed.empty(); }
};

[[nodiscard]] EnvironmentDifference CompareEnvironment(const EnvironmentEntries& block,
                                                       const EnvironmentEntries& wanted);

// "valid", "blank" or "damaged".
[[nodiscard]] const char* EnvironmentBlockStateName(EnvironmentBlockState state);
// The same with what it means: "blank (every byte 0xFF)", "damaged (its CRC does not match)".
[[nodiscard]] std::string EnvironmentBlockStateText(EnvironmentBlockState state);

// One target's environment block read and written as a whole, for tools that keep environments
// in files (qorctl env). Each read and each write is a one-directive run of *loadenv or *saveenv
// in a RunSession: the same requests, pace, resends, silence limits, cancel and time limit as
// runs, and the same protections, so nothing is ever written that would lose a variable (a
// table too large for the block) or overwrite a block read as damaged (unless
// settings.runner.rewriteDamagedEnvironment says so).
//
// Set and Restore write only when the block is not already valid and holding exactly the
// variables wanted, so a second call with the same wish sends no write; each write is read back
// and fails unless the block then holds what was written. The target's table is left holding
// what its block was last found to hold.
class EnvironmentAccess {
 public:
  // Throws Exception for a target without an IP address, and for a block of length 0, of 1 to 3
  // bytes (no room for its CRC) or larger than the target's staging buffer.
  EnvironmentAccess(TargetNetwork& network, Target& target, EnvironmentBlockPlace place,
                    RunSettings settings = {});
  ~EnvironmentAccess();
  EnvironmentAccess(const EnvironmentAccess&) = delete;
  EnvironmentAccess& operator=(const EnvironmentAccess&) = delete;

  // Reads the block into a fresh table. Throws Exception with the run's error: a refused read,
  // silence, "Cancelled", a time limit.
  [[nodiscard]] EnvironmentReading Read();
  // Reads the block and writes its variables to path as a backup file (EnvironmentFile.h),
  // under comments that name the target, the block, its state and the time. A blank block gives
  // a file without variables. Throws Exception for a damaged block, writing nothing.
  EnvironmentReading Backup(const std::string& path);
  // Makes the block hold exactly entries, empty values included. Throws Exception, before
  // anything is sent, for entries no block can hold or too many for this one.
  EnvironmentChange Restore(const EnvironmentEntries& entries);
  // Reads the block, applies each (name, value) in turn as *setenv does (an empty value deletes
  // the name) and writes the result.
  EnvironmentChange Set(const std::vector<std::pair<std::string, std::string>>& assignments);

  // The block of script's first *loadenv; none when it has none.
  [[nodiscard]] static std::optional<EnvironmentBlockPlace> FirstLoadEnv(const Script& script);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
