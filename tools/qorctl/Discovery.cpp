#include "tools/qorctl/Discovery.h"

#include <cstdio>
#include <string>

#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Terminal.h"
#include "platform/TickCount.h"

namespace qor::cli {

namespace {

// Milliseconds after the first request at which it is sent again.
constexpr uint32_t kRepeatAfterMs[] = {250, 500};
// How often a sweep's progress line on a terminal changes.
constexpr uint32_t kProgressEveryMs = 200;

// Sends the discovery to the rest of the range at its pace, taking answers in all the while;
// false when done() ended it early.
bool FinishSweep(TargetNetwork& network, const std::function<bool()>& done) {
  const bool showProgress = IsTerminal(stderr);
  bool shown = false;
  const auto running = [&network] { return network.Sweep() && network.Sweep()->running; };
  while (running()) {
    network.PollFor(kProgressEveryMs, nullptr, [&] { return !running() || (done && done()); });
    if (done && done()) {
      network.StopSweep();
      break;
    }
    if (showProgress && running()) {
      const SweepReport report = *network.Sweep();
      std::fprintf(stderr, "\rSent the discovery to %u of the %u addresses of %s", report.done,
                   report.total, report.range.Text().c_str());
      std::fflush(stderr);
      shown = true;
    }
  }
  if (shown) std::fputs("\r\033[K", stderr);
  return !(done && done());
}

}  // namespace

bool DiscoverTargets(TargetNetwork& network, uint32_t waitMs, const std::function<bool()>& done,
                     bool once) {
  bool broadcastFailed = false;
  network.SetDiscoverErrorHandler([&broadcastFailed](const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    broadcastFailed = true;
  });
  network.Discover();
  network.SetDiscoverErrorHandler(nullptr);
  // The wait begins once the whole range has been sent to.
  if (network.Sweep()) {
    const bool finished = FinishSweep(network, done);
    const SweepReport report = *network.Sweep();
    if (report.failed > 0) {
      std::fprintf(stderr, "%s\n", SweepFailureText(report).c_str());
    }
    // A range none of whose addresses could be sent to was not discovered at all.
    if (finished && report.failed == report.total) return false;
    if (!finished) return true;
  } else if (broadcastFailed) {
    return false;
  }
  const uint32_t start = GetTickCount();
  const auto elapsed = [start] { return GetTickCount() - start; };
  for (const uint32_t at : kRepeatAfterMs) {
    if (once || broadcastFailed || at >= waitMs) break;
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
