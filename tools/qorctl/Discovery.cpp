#include "tools/qorctl/Discovery.h"

#include <cstdio>
#include <string>

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

}  // namespace qor::cli
