#include "exec/EditEnvDirective.h"

#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DirectiveLines.h"
#include "script/Lexer.h"

namespace qor {

EditEnvDirective::EditEnvDirective(std::vector<std::string> words)
    : Directive(kEditEnvDirective), words_(std::move(words)) {}

std::unique_ptr<Directive> EditEnvDirective::Parse(const Script&, DirectiveLines& lines) {
  std::vector<std::string> words = Tokenize(lines.First());
  if (words.empty() || !EqualsIgnoreCase(words[0], "*editenv")) return nullptr;
  if (lines.HasMore()) {
    throw ParseException(Format("Extraneous line(s) following %s directive", words[0].c_str()), 1);
  }
  words.erase(words.begin());  // any number of words after the directive word is kept
  return std::make_unique<EditEnvDirective>(std::move(words));
}

std::vector<DirectiveField> EditEnvDirective::Fields() const { return {{"words", words_}}; }

}  // namespace qor
