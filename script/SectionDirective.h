#pragma once

#include <memory>
#include <string>
#include <vector>

#include "script/Directive.h"

namespace qor {

// *section: a titled stage; running it shows the title on the operation line.
class SectionDirective final : public Directive {
 public:
  explicit SectionDirective(std::string description);

  [[nodiscard]] const std::string& Description() const { return description_; }

  void Execute(std::unique_ptr<Context>& context, TargetNetwork& network, Target& target,
               ScriptDisplay& display) const override;
  [[nodiscard]] std::vector<DirectiveField> Fields() const override;

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);

 private:
  std::string description_;
};

}  // namespace qor
