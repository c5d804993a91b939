#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "script/Directive.h"
#include "script/Script.h"
#include "script/ScriptLint.h"

namespace qor {

// A script read exactly as QOR reads it, with what the lint found on the way.
struct LintedScript {
  std::unique_ptr<Script> script;
  std::vector<LintWarning> warnings;  // in line order; those about the whole script first
};

// Reads fileName with registry's parsers, the lint looking on. Throws the reader's Exception.
// Callers decide what a warning means: qorctl check counts them, qorctl run shows them and with
// --strict refuses to run.
[[nodiscard]] LintedScript ReadScriptWithLint(const std::string& fileName,
                                              std::span<const DirectiveParser> registry);

// A warning worded as the reader words its errors, so that editors that jump to those jump to
// these too: "Warning in \"x.QOR\", line 7: Unknown directive *restrat ignored".
[[nodiscard]] std::string LintWarningText(const std::string& fileName, const LintWarning& warning);

}  // namespace qor
