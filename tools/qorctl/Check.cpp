#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/JsonWriter.h"
#include "tools/qorctl/ScriptTrust.h"
#include "trust/ReadScript.h"

namespace qor::cli {
namespace {

using Json = nlohmann::ordered_json;

struct CheckOptions {
  bool json = false;
  bool strict = false;
  bool allowUnsigned = false;
  std::vector<std::string> files;
};

Json Entries(const std::map<ProductKey, std::string>& table) {
  Json entries = Json::array();
  for (const auto& [key, description] : table) {
    entries.push_back(
        {{"vendor", key.vendorId}, {"product", key.productId}, {"description", description}});
  }
  return entries;
}

Json DescribeDirective(const Directive& directive) {
  Json entry = {{"kind", directive.Kind()}, {"directive", directive.Name()}};
  for (const DirectiveField& field : directive.Fields()) {
    std::visit([&](const auto& value) { entry[field.name] = value; }, field.value);
  }
  return entry;
}

Json Describe(const Script& script) {
  Json result;
  result["file"] = script.FileName();
  result["ok"] = true;
  result["products"] = Entries(script.ProductEntries());
  std::map<ProductKey, std::string> scripts;
  for (const ProductKey& key : script.ScriptTargets()) scripts[key] = script.ScriptDescription(key);
  result["scripts"] = Entries(scripts);
  Json directives = Json::array();
  for (int32_t i = 0; i < script.DirectiveCount(); ++i) {
    directives.push_back(DescribeDirective(script.DirectiveAt(i)));
  }
  result["directives"] = std::move(directives);
  return result;
}

std::string Plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

Json DescribeWarnings(const std::vector<LintWarning>& warnings) {
  Json list = Json::array();
  for (const LintWarning& warning : warnings) {
    list.push_back(
        {{"line", warning.line > 0 ? Json(warning.line) : Json(nullptr)}, {"text", warning.text}});
  }
  return list;
}

// The script's good signature: who signed it and what they said; null when nothing was checked.
Json DescribeSignature(const std::optional<SignatureCheck>& signature) {
  if (!signature) return nullptr;
  return {{"key", KeyIdText(signature->keyId)}, {"trusted_comment", signature->trustedComment}};
}

int RunCheck(const CheckOptions& options) {
  const TrustedKeys keys = CommandKeys(options.allowUnsigned);
  bool allRead = true;
  bool anyWarning = false;
  for (const std::string& file : options.files) {
    std::string out;
    try {
      const LintedScript read = ReadScriptWithLint(file, DirectiveRegistry(), keys);
      const Script& script = *read.script;
      const std::vector<LintWarning>& warnings = read.warnings;
      anyWarning = anyWarning || !warnings.empty();
      if (options.json) {
        Json description = Describe(script);
        description["warnings"] = DescribeWarnings(warnings);
        description["signature"] = DescribeSignature(read.signature);
        AppendJson(out, description);
      } else {
        for (const LintWarning& warning : warnings) {
          std::fprintf(stderr, "%s\n", LintWarningText(file, warning).c_str());
        }
        out = file + ": ok, " + Plural(script.ProductEntries().size(), "product", "products") +
              ", " + Plural(script.ScriptTargets().size(), "script entry", "script entries") +
              ", " +
              Plural(static_cast<size_t>(script.DirectiveCount()), "directive", "directives");
        if (!warnings.empty()) out += ", " + Plural(warnings.size(), "warning", "warnings");
      }
    } catch (const std::exception& error) {
      // Not a script error, yet it must not end the check of the other files.
      allRead = false;
      if (!options.json) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), error.what());
        continue;
      }
      AppendJson(out, Json{{"file", file}, {"ok", false}, {"error", error.what()}});
    } catch (const Exception& error) {
      allRead = false;
      if (!options.json) {
        std::fprintf(stderr, "%s\n", error.Message().c_str());
        continue;
      }
      AppendJson(out, Json{{"file", file}, {"ok", false}, {"error", error.Message()}});
    }
    std::fprintf(stdout, "%s\n", out.c_str());
  }
  std::fflush(stdout);
  return allRead && !(options.strict && anyWarning) ? 0 : 1;
}

}  // namespace

CommandRunner AddCheckCommand(CLI::App& app) {
  auto options = std::make_shared<CheckOptions>();
  CLI::App* command =
      app.add_subcommand("check", "Read script files as QOR does and report what they hold");
  command->add_option("FILE", options->files, "Script files (.QOR) to read")->required();
  command->add_flag("--json", options->json,
                    "Print one JSON object per file and line instead of the summary");
  command->add_flag("--strict", options->strict, "Fail (exit 1) when any file draws a warning");
  AddAllowUnsignedFlag(*command, options->allowUnsigned);
  command->footer(
      "A failure prints the message QOR would show the operator. Warnings name what QOR would "
      "silently ignore or accept: unknown directives, lines of a *download group that are not "
      "S3 records, S3 records with a wrong checksum, a script with nothing to run, *script "
      "entries for products no *product names. qorctl run prints the same warnings before it "
      "starts.\n"
      "With trusted keys, a script whose file or images no trusted key signed does not read; its "
      "--json object names the signature's key and trusted comment (null when none was checked).\n"
      "Exit status: 0 when every file reads (with --strict: and draws no warning), 1 otherwise, "
      "2 on a usage error.");
  return [options] { return RunCheck(*options); };
}

}  // namespace qor::cli
