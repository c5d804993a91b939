#include "net/TargetTable.h"

#include <unordered_map>
#include <utility>

#include "net/ReplyReceiver.h"

namespace qor {

struct TargetTable::State {
  // unique_ptr keeps each Target at one address however the map grows.
  std::map<MacAddress, std::unique_ptr<Target>> byMac;
  // The same targets, for lookups that take the same time however many there are: every
  // request and reply looks its target up.
  std::unordered_map<MacAddress, Target*, MacAddressHash> byKey;
  std::vector<Target*> arrivals;
  uint64_t dropped = 0;
};

TargetTable::TargetTable() : state_(std::make_unique<State>()) {}

TargetTable::~TargetTable() { Clear(); }

Target* TargetTable::Find(const MacAddress& mac) {
  const auto found = state_->byKey.find(mac);
  return found == state_->byKey.end() ? nullptr : found->second;
}

Target* TargetTable::Insert(const Target& target) {
  if (Target* known = Find(target.mac)) return known;
  if (state_->byMac.size() >= kMaxTargets) {
    ++state_->dropped;
    return nullptr;
  }
  auto where = state_->byMac.try_emplace(target.mac, nullptr).first;
  where->second = std::make_unique<Target>(target);
  // A copy never inherits a reply hook: only a waiting request sets one, on the stored target.
  where->second->pendingContext = nullptr;
  where->second->pendingRequestId = 0;
  state_->arrivals.push_back(where->second.get());
  state_->byKey.emplace(target.mac, where->second.get());
  return where->second.get();
}

void TargetTable::Clear() {
  for (auto& [mac, target] : state_->byMac) {
    // A context still waiting on this target must not keep a pointer to it past this point.
    if (target->pendingContext != nullptr) target->pendingContext->Detach();
  }
  state_->arrivals.clear();
  state_->byKey.clear();
  state_->byMac.clear();
  state_->dropped = 0;
}

size_t TargetTable::Size() const { return state_->byMac.size(); }

uint64_t TargetTable::Dropped() const { return state_->dropped; }

std::vector<Target*> TargetTable::Targets() const {
  std::vector<Target*> targets;
  targets.reserve(state_->byMac.size());
  for (const auto& [mac, target] : state_->byMac) targets.push_back(target.get());
  return targets;
}

const std::vector<Target*>& TargetTable::InArrivalOrder() const { return state_->arrivals; }

}  // namespace qor
