#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "script/Directive.h"
#include "script/Script.h"
#include "script/ScriptLint.h"
#include "trust/TrustedKeys.h"

namespace qor {

class ScriptReadObserver;

// A script read with its signatures checked.
struct SignedScript {
  std::unique_ptr<Script> script;
  // The script file's good signature; nothing when no key is trusted, so nothing was checked.
  std::optional<SignatureCheck> signature;
};

// Reads the script at path as Script does. With no trusted key that is all. With trusted keys
// the script file and every file its directives read (the *download images) must carry a good
// signature beside them, NAME.minisig, by one of the keys; otherwise it throws Exception, such
// as "Script x.QOR is not signed by a trusted key" or "Image fw.bin of x.QOR has a bad
// signature". Each file is hashed as it is read, so the bytes checked are the bytes used.
[[nodiscard]] SignedScript ReadScript(const std::string& path,
                                      std::span<const DirectiveParser> registry,
                                      const TrustedKeys& keys,
                                      ScriptReadObserver* observer = nullptr);

// A script read as ReadScript reads it, with what the lint found on the way.
struct LintedScript : SignedScript {
  std::vector<LintWarning> warnings;  // in line order; those about the whole script first
};

// ReadScript with the lint looking on. Callers decide what a warning means: qorctl check counts
// them, qorctl run shows them and with --strict refuses to run.
[[nodiscard]] LintedScript ReadScriptWithLint(const std::string& path,
                                              std::span<const DirectiveParser> registry,
                                              const TrustedKeys& keys);

}  // namespace qor
