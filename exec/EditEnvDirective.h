#pragma once

#include <memory>
#include <string>
#include <vector>

#include "script/Directive.h"

namespace qor {

// *editenv: accepted and kept with its words; it does nothing when run.
class EditEnvDirective final : public Directive {
 public:
  explicit EditEnvDirective(std::vector<std::string> words);

  [[nodiscard]] const std::vector<std::string>& Words() const { return words_; }
  [[nodiscard]] std::vector<DirectiveField> Fields() const override;

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);

 private:
  std::vector<std::string> words_;
};

}  // namespace qor
