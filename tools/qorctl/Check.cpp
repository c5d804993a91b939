#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/JsonWriter.h"

namespace qor::cli {
namespace {

using Json = nlohmann::ordered_json;

struct CheckOptions {
  bool json = false;
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

int RunCheck(const CheckOptions& options) {
  bool allRead = true;
  for (const std::string& file : options.files) {
    std::string out;
    try {
      const Script script(file, DirectiveRegistry());
      if (options.json) {
        AppendJson(out, Describe(script));
      } else {
        out = file + ": ok, " + Plural(script.ProductEntries().size(), "product", "products") +
              ", " + Plural(script.ScriptTargets().size(), "script entry", "script entries") +
              ", " +
              Plural(static_cast<size_t>(script.DirectiveCount()), "directive", "directives");
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
  return allRead ? 0 : 1;
}

}  // namespace

CommandRunner AddCheckCommand(CLI::App& app) {
  auto options = std::make_shared<CheckOptions>();
  CLI::App* command =
      app.add_subcommand("check", "Read script files as QOR does and report what they hold");
  command->add_option("FILE", options->files, "Script files (.QOR) to read")->required();
  command->add_flag("--json", options->json,
                    "Print one JSON object per file and line instead of the summary");
  command->footer(
      "A failure prints the message QOR would show the operator.\n"
      "Exit status: 0 when every file reads, 1 when any fails, 2 on a usage error.");
  return [options] { return RunCheck(*options); };
}

}  // namespace qor::cli
