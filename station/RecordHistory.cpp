#include "station/RecordHistory.h"

#include "net/Target.h"

namespace qor {
namespace {

using Json = nlohmann::ordered_json;

std::optional<std::string> Text(const Json& line, const char* key) {
  const auto found = line.find(key);
  if (found == line.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

bool RecordHistory::Take(const Json& line) {
  if (!line.is_object()) return false;
  const auto event = Text(line, "event");
  const auto macText = Text(line, "mac");
  const auto sha = Text(line, "script_sha256");
  if (!event || !macText || !sha) return false;
  const auto mac = MacAddress::Parse(*macText);
  if (!mac) return false;
  Attempt attempt;
  std::optional<std::string> address;
  if (*event == "start") {
    attempt.time = Text(line, "time").value_or("");
    address = Text(line, "ip");
  } else if (*event == "end") {
    const std::string outcome = Text(line, "outcome").value_or("");
    if (outcome == "passed" || outcome == "current") {
      attempt.state = State::kPassed;
    } else if (outcome == "cancelled") {
      attempt.state = State::kCancelled;
    } else {
      attempt.state = State::kFailed;
    }
    attempt.time = Text(line, "ended").value_or("");
    address = Text(line, "ip_after");
  } else {
    return false;
  }
  attempts[*mac][*sha] = attempt;
  // The address a start line gives is the unit's; an end line's only tells where a unit stood
  // that has no start line (a log of qorctl run), or where an assignment left it.
  const bool given = *event == "start" || !addresses.contains(*mac);
  if (const auto parsed = address ? ParseIpAddress(*address) : std::nullopt) {
    addressHolders[*parsed].insert(*mac);
    if (given) addresses[*mac] = *parsed;
  }
  if (const auto found = line.find("unit_values"); found != line.end() && found->is_object()) {
    UnitValueList list;
    for (const auto& [name, value] : found->items()) {
      if (value.is_string()) list.emplace_back(name, value.get<std::string>());
    }
    valueHolders[list].insert(*mac);
    values[*mac] = list;
  }
  return true;
}

std::optional<RecordHistory::Attempt> RecordHistory::AttemptOf(
    const MacAddress& mac, const std::string& scriptSha256) const {
  const auto unit = attempts.find(mac);
  if (unit == attempts.end()) return std::nullopt;
  const auto attempt = unit->second.find(scriptSha256);
  if (attempt == unit->second.end()) return std::nullopt;
  return attempt->second;
}

bool RecordHistory::AddressGivenToOther(uint32_t address, const MacAddress& mac) const {
  const auto found = addressHolders.find(address);
  if (found == addressHolders.end()) return false;
  return found->second.size() > (found->second.contains(mac) ? 1u : 0u);
}

bool RecordHistory::ValuesGivenToOther(const UnitValueList& list, const MacAddress& mac) const {
  const auto found = valueHolders.find(list);
  if (found == valueHolders.end()) return false;
  return found->second.size() > (found->second.contains(mac) ? 1u : 0u);
}

size_t RecordHistory::PassedCount(const std::string& scriptSha256) const {
  size_t passed = 0;
  for (const auto& [mac, scripts] : attempts) {
    const auto found = scripts.find(scriptSha256);
    if (found != scripts.end() && found->second.state == State::kPassed) ++passed;
  }
  return passed;
}

}  // namespace qor
