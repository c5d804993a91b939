#pragma once

#include <memory>
#include <string>
#include <vector>

#include "script/Directive.h"

namespace qor {

// *setenv name [value]: sets a variable in the target's table; no value deletes it.
class SetEnvDirective final : public Directive {
 public:
  SetEnvDirective(std::string name, std::string value);

  [[nodiscard]] const std::string& Name() const { return name_; }
  [[nodiscard]] const std::string& Value() const { return value_; }

  void Execute(std::unique_ptr<Context>& context, TargetNetwork& network, Target& target,
               ScriptDisplay& display) const override;
  [[nodiscard]] std::vector<DirectiveField> Fields() const override;

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);

 private:
  std::string name_;
  std::string value_;
};

}  // namespace qor
