#include "tools/qorctl/Discovery.h"

#include <cstdio>
#include <string>

#include "net/TargetNetwork.h"

namespace qor::cli {

bool DiscoverTargets(TargetNetwork& network, uint32_t waitMs, const std::function<bool()>& done) {
  bool failed = false;
  network.SetDiscoverErrorHandler([&failed](const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    failed = true;
  });
  network.Discover();
  network.SetDiscoverErrorHandler(nullptr);
  if (failed) return false;
  network.PollFor(waitMs, nullptr, done);
  return true;
}

}  // namespace qor::cli
