#include "tools/qorctl/Discovery.h"

#include <cstdio>
#include <string>

#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/TickCount.h"

namespace qor::cli {

namespace {

// Milliseconds after the first request at which it is sent again.
constexpr uint32_t kRepeatAfterMs[] = {250, 500};

}  // namespace

bool DiscoverTargets(TargetNetwork& network, uint32_t waitMs, const std::function<bool()>& done,
                     bool once) {
  bool failed = false;
  network.SetDiscoverErrorHandler([&failed](const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    failed = true;
  });
  const uint32_t start = GetTickCount();
  network.Discover();
  network.SetDiscoverErrorHandler(nullptr);
  if (failed) return false;
  const auto elapsed = [start] { return GetTickCount() - start; };
  for (const uint32_t at : kRepeatAfterMs) {
    if (once || at >= waitMs) break;
    if (elapsed() < at) network.PollFor(at - elapsed(), nullptr, done);
    if (done && done()) return true;
    try {
      network.RepeatDiscoverRequest();
    } catch (const Exception&) {
      // The first request went out; a repeat that cannot is only a lost chance.
    }
  }
  network.PollFor(elapsed() < waitMs ? waitMs - elapsed() : 0, nullptr, done);
  return true;
}

std::map<uint32_t, std::vector<const Target*>> SharedAddresses(
    const std::vector<Target*>& targets) {
  std::map<uint32_t, std::vector<const Target*>> shared;
  for (const Target* target : targets) {
    if (target->ipAddress != 0) shared[target->ipAddress].push_back(target);
  }
  std::erase_if(shared, [](const auto& entry) { return entry.second.size() < 2; });
  return shared;
}

}  // namespace qor::cli
