#include "net/Discovery.h"

#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/TickCount.h"

namespace qor {

namespace {

// Milliseconds after the first request at which it is sent again.
constexpr uint32_t kRepeatAfterMs[] = {250, 500};

// Sends the discovery to the rest of the range at its pace, taking answers in all the while;
// false when done() ended it early.
bool FinishSweep(TargetNetwork& network, const DiscoveryHooks& hooks) {
  const auto running = [&network] { return network.Sweep() && network.Sweep()->running; };
  const auto done = [&hooks] { return hooks.done && hooks.done(); };
  while (running()) {
    network.PollFor(kSweepReportEveryMs, nullptr, [&] { return !running() || done(); });
    if (done()) {
      network.StopSweep();
      return false;
    }
    if (hooks.sweep && running()) hooks.sweep(*network.Sweep());
  }
  return true;
}

}  // namespace

bool RunDiscovery(TargetNetwork& network, uint32_t waitMs, const DiscoveryHooks& hooks) {
  bool broadcastFailed = false;
  network.SetDiscoverErrorHandler([&](const std::string& message) {
    if (hooks.note) hooks.note(message);
    broadcastFailed = true;
  });
  network.Discover();
  network.SetDiscoverErrorHandler(nullptr);
  // The wait begins once the whole range has been sent to.
  if (network.Sweep()) {
    const bool finished = FinishSweep(network, hooks);
    const SweepReport report = *network.Sweep();
    if (hooks.sweep) hooks.sweep(report);
    if (report.failed > 0 && hooks.note) hooks.note(SweepFailureText(report));
    // A range none of whose addresses could be sent to was not discovered at all.
    if (finished && report.failed == report.total) return false;
    if (!finished) return true;
  } else if (broadcastFailed) {
    return false;
  }
  const uint32_t start = GetTickCount();
  const auto elapsed = [start] { return GetTickCount() - start; };
  for (const uint32_t at : kRepeatAfterMs) {
    if (hooks.once || broadcastFailed || at >= waitMs) break;
    if (elapsed() < at) network.PollFor(at - elapsed(), nullptr, hooks.done);
    if (hooks.done && hooks.done()) return true;
    try {
      network.RepeatDiscoverRequest();
    } catch (const Exception&) {
      // The first request went out; a repeat that cannot is only a lost chance.
    }
  }
  network.PollFor(elapsed() < waitMs ? waitMs - elapsed() : 0, nullptr, hooks.done);
  return true;
}

}  // namespace qor
