#pragma once

#include <memory>
#include <string>
#include <vector>

#include "script/Directive.h"

namespace qor {

// *restart: asks the target to restart and waits for its answer.
class RestartDirective final : public Directive {
 public:
  RestartDirective();

  void Execute(std::unique_ptr<Context>& context, TargetNetwork& network, Target& target,
               ScriptDisplay& display) const override;

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);
};

}  // namespace qor
