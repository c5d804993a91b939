#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "script/Directive.h"

namespace qor {

// *loadenv reads the target's environment block into its table; *saveenv writes the table back.
class LoadSaveEnvDirective final : public Directive {
 public:
  LoadSaveEnvDirective(bool isLoad, uint32_t address, uint32_t length);

  [[nodiscard]] bool IsLoad() const { return isLoad_; }
  [[nodiscard]] uint32_t Address() const { return address_; }
  [[nodiscard]] uint32_t Length() const { return length_; }

  void Execute(std::unique_ptr<Context>& context, TargetNetwork& network, Target& target,
               ScriptDisplay& display) const override;
  [[nodiscard]] std::vector<DirectiveField> Fields() const override;

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);

 private:
  bool isLoad_;
  uint32_t address_;
  uint32_t length_;
};

}  // namespace qor
