#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "net/MacAddress.h"
#include "station/UnitRecord.h"

namespace qor {

// What a station's record says so far, for resuming: how each unit's last attempt at each script
// ended, and which addresses and unit values were given to whom, so that none is given twice.
struct RecordHistory {
  enum class State { kStarted, kPassed, kFailed, kCancelled };
  struct Attempt {
    State state = State::kStarted;
    std::string time;  // when it started, or ended once it has
  };

  // By MAC, then by the script's SHA-256: a unit's last attempt at that script.
  std::map<MacAddress, std::map<std::string, Attempt>> attempts;
  // Every MAC each address was given to, and the address each MAC was given last.
  std::map<uint32_t, std::set<MacAddress>> addressHolders;
  std::map<MacAddress, uint32_t> addresses;
  // The same for unit values.
  std::map<UnitValueList, std::set<MacAddress>> valueHolders;
  std::map<MacAddress, UnitValueList> values;

  // Takes in one line of a record (start or end); false when it is no record line.
  bool Take(const nlohmann::ordered_json& line);

  // The last attempt of mac at the script; none when it never started it.
  [[nodiscard]] std::optional<Attempt> AttemptOf(const MacAddress& mac,
                                                 const std::string& scriptSha256) const;
  // Whether the record gave address, or values, to a unit other than mac.
  [[nodiscard]] bool AddressGivenToOther(uint32_t address, const MacAddress& mac) const;
  [[nodiscard]] bool ValuesGivenToOther(const UnitValueList& list, const MacAddress& mac) const;
  // The units whose last attempt at the script passed.
  [[nodiscard]] size_t PassedCount(const std::string& scriptSha256) const;
};

}  // namespace qor
