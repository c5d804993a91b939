#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "exec/TargetRun.h"

namespace qor {
class Script;
struct Target;
}  // namespace qor

namespace qor::cli {

// A script with *script entries is meant for those products only; one without runs anywhere.
[[nodiscard]] bool ScriptServes(const Script& script, const Target& target);

// The targets of products the script is meant for, in their order. Each one left out adds to
// skipped and is named on errors: as skipped when several were asked for, else as refused with
// the hint that --force runs it anyway.
[[nodiscard]] std::vector<Target*> KeepServed(const Script& script,
                                              const std::vector<Target*>& targets, bool several,
                                              size_t& skipped, std::FILE* errors);

// The line that ends a run on several targets: "3 succeeded, 1 failed, 0 refused, 1 skipped".
// Failed counts time-outs and cancellations too; refused are targets without an address.
[[nodiscard]] std::string Tally(const std::vector<TargetRun>& runs, size_t skipped);

}  // namespace qor::cli
