#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/ProductKey.h"
#include "script/Directive.h"

namespace qor {

// *product and *script: a description filed under a ProductKey while the script is read.
class ProductScriptDirective final : public Directive {
 public:
  ProductScriptDirective(int32_t kind, ProductKey key, std::string description);

  [[nodiscard]] const ProductKey& Key() const { return key_; }
  [[nodiscard]] const std::string& Description() const { return description_; }

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);

 private:
  ProductKey key_;
  std::string description_;
};

}  // namespace qor
