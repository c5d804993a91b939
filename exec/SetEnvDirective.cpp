#include "exec/SetEnvDirective.h"

#include "net/Target.h"
#include "platform/Exception.h"
#include "script/DirectiveLines.h"
#include "script/Lexer.h"

namespace qor {

SetEnvDirective::SetEnvDirective(std::string name, std::string value)
    : Directive(kSetEnvDirective), name_(std::move(name)), value_(std::move(value)) {}

std::unique_ptr<Directive> SetEnvDirective::Parse(const Script&, DirectiveLines& lines) {
  const std::vector<std::string> words = Tokenize(lines.First());
  if (words.empty() || !EqualsIgnoreCase(words[0], "*setenv")) return nullptr;
  if (words.size() == 1) {
    throw ParseException("*SETENV directive must be followed by variable name", 0);
  }
  if (words.size() > 3) throw ParseException("*SETENV directive has too many parameters", 0);
  // The block ends a name at its first equals sign: "a=b" set to c would come back as a set to
  // b=c, changing another variable without a word.
  if (words[1].find('=') != std::string::npos) {
    throw ParseException("*SETENV variable name cannot contain an equals sign", 0);
  }
  if (lines.HasMore()) throw ParseException("Extraneous line(s) following *SETENV directive", 1);
  // No value deletes the variable when the directive runs.
  return std::make_unique<SetEnvDirective>(words[1], words.size() == 3 ? words[2] : std::string());
}

// Only the host's copy of the table changes; nothing is sent to the target.
void SetEnvDirective::Execute(std::unique_ptr<Context>&, TargetNetwork&, Target& target,
                              ScriptDisplay&) const {
  SetVariable(target.environment, name_, value_);
}

std::vector<DirectiveField> SetEnvDirective::Fields() const {
  return {{"name", name_}, {"value", value_}};
}

}  // namespace qor
