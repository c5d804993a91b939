#include "exec/RestartDirective.h"

#include "exec/RestartContext.h"
#include "platform/Exception.h"
#include "script/DirectiveLines.h"
#include "script/Lexer.h"

namespace qor {

RestartDirective::RestartDirective() : Directive(kRestartDirective) {}

std::unique_ptr<Directive> RestartDirective::Parse(const Script&, DirectiveLines& lines) {
  const std::vector<std::string> words = Tokenize(lines.First());
  if (words.empty() || !EqualsIgnoreCase(words[0], "*restart")) return nullptr;
  if (words.size() > 1) {
    throw ParseException("Extraneous character(s) following *RESTART directive", 0);
  }
  if (lines.HasMore()) throw ParseException("Extraneous line(s) following *RESTART directive", 1);
  return std::make_unique<RestartDirective>();
}

void RestartDirective::Execute(std::unique_ptr<Context>& context, TargetNetwork& network,
                               Target& target, ScriptDisplay& display) const {
  context = RestartContext::Run(std::move(context), network, target, display);
}

}  // namespace qor
