#include "script/SectionDirective.h"

#include "exec/Context.h"
#include "exec/ScriptDisplay.h"
#include "platform/Exception.h"
#include "script/Lexer.h"

namespace qor {

SectionDirective::SectionDirective(std::string description)
    : Directive(kSectionDirective), description_(std::move(description)) {}

std::unique_ptr<Context> SectionDirective::Execute(std::unique_ptr<Context>, TargetNetwork&,
                                                   Target&, ScriptDisplay& display) const {
  display.SetOperationText(description_);
  display.SetStatusText("");
  return nullptr;
}

std::unique_ptr<Directive> SectionDirective::Parse(const Script&,
                                                   const std::vector<std::string>& lines) {
  const std::vector<std::string> words = Tokenize(lines.front());
  if (words.empty() || !EqualsIgnoreCase(words[0], "*section")) return nullptr;
  if (words.size() != 2) {
    throw ParseException("*SECTION directive must be followed by description", 0);
  }
  if (lines.size() > 1) throw ParseException("Extraneous line(s) following *SECTION directive", 1);
  return std::make_unique<SectionDirective>(words[1]);
}

}  // namespace qor
