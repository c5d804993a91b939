#include "tools/qorctl/Discovery.h"

#include <cstdio>
#include <memory>
#include <string>

#include "net/Discovery.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Terminal.h"

namespace qor::cli {

DiscoveryHooks ConsoleDiscoveryHooks(const std::function<bool()>& done, bool once) {
  // Whether the sweep's line stands on the terminal, to be cleared before anything else.
  auto shown = std::make_shared<bool>(false);
  const auto clear = [shown] {
    if (*shown) std::fputs("\r\033[K", stderr);
    *shown = false;
  };
  DiscoveryHooks hooks;
  hooks.done = done;
  hooks.once = once;
  hooks.note = [clear](const std::string& text) {
    clear();
    std::fprintf(stderr, "%s\n", text.c_str());
  };
  hooks.sweep = [shown, clear, terminal = IsTerminal(stderr)](const SweepReport& report) {
    if (!report.running) clear();
    if (!terminal || !report.running) return;
    std::fprintf(stderr, "\rSent the discovery to %u of the %u addresses of %s", report.done,
                 report.total, report.range.Text().c_str());
    std::fflush(stderr);
    *shown = true;
  };
  return hooks;
}

bool DiscoverTargets(TargetNetwork& network, uint32_t waitMs, const std::function<bool()>& done,
                     bool once) {
  return RunDiscovery(network, waitMs, ConsoleDiscoveryHooks(done, once));
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
