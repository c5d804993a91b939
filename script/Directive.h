#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "script/InputFile.h"

namespace qor {

class Context;
class DirectiveLines;
class Script;
class ScriptDisplay;
class TargetNetwork;
struct Target;

enum DirectiveKind : int32_t {
  kProductDirective = 0,
  kScriptDirective = 1,
  kSectionDirective = 2,
  kDownloadDirective = 3,
  kLoadEnvDirective = 4,
  kSetEnvDirective = 5,
  kEditEnvDirective = 6,
  kSaveEnvDirective = 7,
  kRestartDirective = 8,
};

// One named value a directive was read with, for tools that show what a script holds.
struct DirectiveField {
  std::string name;
  std::variant<uint64_t, std::string, std::vector<std::string>> value;
};

// One directive of a script. A parsed directive never changes when it runs: all run state lives
// in the Context it keeps in the runner's slot, so one script can be run many times against many
// targets.
class Directive {
 public:
  explicit Directive(int32_t kind) : kind_(kind) {}
  virtual ~Directive() = default;
  Directive(const Directive&) = delete;
  Directive& operator=(const Directive&) = delete;

  // Runs one step. context holds what this directive left there at its previous call (empty at
  // the first); the directive leaves its context there while it is still running and empties it
  // when it has finished. Throws Exception to fail; the context is then still in the slot, for
  // the runner to dispose of. The base directive does nothing and finishes at once.
  virtual void Execute(std::unique_ptr<Context>& context, TargetNetwork& network, Target& target,
                       ScriptDisplay& display) const;

  [[nodiscard]] int32_t Kind() const { return kind_; }
  // The directive word in lower case, such as "*download".
  [[nodiscard]] const char* Name() const;
  // What the directive was read with, in a fixed order; none for the base.
  [[nodiscard]] virtual std::vector<DirectiveField> Fields() const;
  // The files the directive read along with the script (its image, say); none for the base.
  [[nodiscard]] virtual std::vector<InputFile> InputFiles() const;

 private:
  int32_t kind_;
};

// A directive kind's parse function: the script under construction (only FileName and NewDigest
// may be used) and the trimmed lines of the directive's group, directive line first, which the
// parser reads as far as it needs. Returns nothing when the directive word is not one of its names,
// before reading past the directive line; throws ParseException or Exception on a bad group.
using DirectiveParser = std::unique_ptr<Directive> (*)(const Script& script, DirectiveLines& lines);

}  // namespace qor
