#include "tools/qorctl/RunGuards.h"

#include <algorithm>

#include "net/Target.h"
#include "platform/Format.h"
#include "script/Script.h"

namespace qor::cli {
namespace {

std::string KeyText(const ProductKey& key) {
  return Format("0x%04X:0x%04X", key.vendorId, key.productId);
}

}  // namespace

bool ScriptServes(const Script& script, const Target& target) {
  const std::vector<ProductKey> keys = script.ScriptTargets();
  return keys.empty() || std::find(keys.begin(), keys.end(), target.Key()) != keys.end();
}

std::vector<Target*> KeepServed(const Script& script, const std::vector<Target*>& targets,
                                bool several, size_t& skipped, std::FILE* errors) {
  std::vector<Target*> kept;
  for (Target* target : targets) {
    if (ScriptServes(script, *target)) {
      kept.push_back(target);
      continue;
    }
    ++skipped;
    const std::string mac = target->mac.ToString();
    const std::string key = KeyText(target->Key());
    if (several) {
      std::fprintf(errors, "Skipped %s: product %s is not among the script's *script entries\n",
                   mac.c_str(), key.c_str());
    } else {
      std::fprintf(errors,
                   "Target %s is product %s, which the script's *script entries do not name; "
                   "--force runs it anyway\n",
                   mac.c_str(), key.c_str());
    }
  }
  return kept;
}

std::string Tally(const std::vector<TargetRun>& runs, size_t skipped) {
  size_t succeeded = 0;
  size_t refused = 0;
  for (const TargetRun& run : runs) {
    if (run.outcome == RunOutcome::kFinished || run.outcome == RunOutcome::kCurrent) ++succeeded;
    if (run.outcome == RunOutcome::kRefused) ++refused;
  }
  return Format("%zu succeeded, %zu failed, %zu refused, %zu skipped", succeeded,
                runs.size() - succeeded - refused, refused, skipped);
}

}  // namespace qor::cli
