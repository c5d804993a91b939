#include "script/LintedScript.h"

namespace qor {

LintedScript ReadScriptWithLint(const std::string& fileName,
                                std::span<const DirectiveParser> registry) {
  ScriptLint lint;
  LintedScript read;
  read.script = std::make_unique<Script>(fileName, registry, &lint);
  lint.Finish(*read.script);
  read.warnings = lint.Warnings();
  return read;
}

std::string LintWarningText(const std::string& fileName, const LintWarning& warning) {
  // Joined rather than formatted: a long path must not cut the warning short.
  std::string text = "Warning in \"" + fileName + "\"";
  if (warning.line > 0) text += ", line " + std::to_string(warning.line);
  return text + ": " + warning.text;
}

}  // namespace qor
