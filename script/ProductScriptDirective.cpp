#include "script/ProductScriptDirective.h"

#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DirectiveLines.h"
#include "script/Lexer.h"

namespace qor {

ProductScriptDirective::ProductScriptDirective(int32_t kind, ProductKey key,
                                               std::string description)
    : Directive(kind), key_(key), description_(std::move(description)) {}

std::unique_ptr<Directive> ProductScriptDirective::Parse(const Script&, DirectiveLines& lines) {
  const std::vector<std::string> words = Tokenize(lines.First());
  if (words.empty()) return nullptr;
  int32_t kind = 0;
  if (EqualsIgnoreCase(words[0], "*product")) {
    kind = kProductDirective;
  } else if (EqualsIgnoreCase(words[0], "*script")) {
    kind = kScriptDirective;
  } else {
    return nullptr;
  }
  if (words.size() != 4) {
    throw ParseException(
        Format("%s directive must be followed by vendor ID, product ID and description",
               words[0].c_str()),
        0);
  }
  // IDs keep their low 16 bits: 0x12345 names vendor 0x2345, -1 names 0xFFFF.
  const auto vendor = static_cast<uint16_t>(static_cast<uint32_t>(ParseNumber(words[1])));
  const auto product = static_cast<uint16_t>(static_cast<uint32_t>(ParseNumber(words[2])));
  if (lines.HasMore()) {
    throw ParseException(Format("Extraneous line(s) following %s directive", words[0].c_str()), 1);
  }
  return std::make_unique<ProductScriptDirective>(kind, ProductKey{vendor, product}, words[3]);
}

}  // namespace qor
