#include "script/SectionDirective.h"

#include "platform/Exception.h"
#include "script/DirectiveLines.h"
#include "script/Lexer.h"
#include "script/ScriptDisplay.h"

namespace qor {

SectionDirective::SectionDirective(std::string description)
    : Directive(kSectionDirective), description_(std::move(description)) {}

void SectionDirective::Execute(std::unique_ptr<Context>&, TargetNetwork&, Target&,
                               ScriptDisplay& display) const {
  display.SetOperationText(description_);
  display.SetStatusText("");
}

std::vector<DirectiveField> SectionDirective::Fields() const {
  return {{"description", description_}};
}

std::unique_ptr<Directive> SectionDirective::Parse(const Script&, DirectiveLines& lines) {
  const std::vector<std::string> words = Tokenize(lines.First());
  if (words.empty() || !EqualsIgnoreCase(words[0], "*section")) return nullptr;
  if (words.size() != 2) {
    throw ParseException("*SECTION directive must be followed by description", 0);
  }
  if (lines.HasMore()) throw ParseException("Extraneous line(s) following *SECTION directive", 1);
  return std::make_unique<SectionDirective>(words[1]);
}

}  // namespace qor
