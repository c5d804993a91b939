#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "exec/Crc32.h"
#include "exec/DownloadDirective.h"
#include "exec/EditEnvDirective.h"
#include "exec/LoadSaveEnvDirective.h"
#include "exec/SetEnvDirective.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "script/SectionDirective.h"
#include "tools/qorctl/Commands.h"

namespace qor::cli {
namespace {

using Json = nlohmann::ordered_json;

struct CheckOptions {
  bool json = false;
  std::vector<std::string> files;
};

// Length of the well-formed UTF-8 sequence that starts at i, or 0 when the byte there does not
// start one (overlong forms, surrogates and code points beyond U+10FFFF included).
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) -> unsigned {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x100u;
  };
  const auto continuation = [&](size_t k) { return byte(k) >= 0x80 && byte(k) <= 0xBF; };
  const unsigned lead = byte(i);
  if (lead < 0x80) return 1;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (!continuation(i + k)) return 0;
  }
  return length;
}

// A JSON string for 8-bit script text: well-formed UTF-8 goes through as it is, and every byte
// that is not part of it becomes one \u00XX escape, so no byte is lost or replaced.
void AppendString(std::string& out, const std::string& text) {
  out += '"';
  std::string run;
  const auto flush = [&] {
    if (run.empty()) return;
    const std::string quoted = Json(run).dump();
    out.append(quoted, 1, quoted.size() - 2);
    run.clear();
  };
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      flush();
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[i]));
      out += escape;
      ++i;
    } else {
      run.append(text, i, length);
      i += length;
    }
  }
  flush();
  out += '"';
}

// One line of JSON with a blank after every colon and comma.
void AppendJson(std::string& out, const Json& value) {
  if (value.is_object()) {
    out += '{';
    const char* separator = "";
    for (const auto& [key, member] : value.items()) {
      out += separator;
      AppendString(out, key);
      out += ": ";
      AppendJson(out, member);
      separator = ", ";
    }
    out += '}';
  } else if (value.is_array()) {
    out += '[';
    const char* separator = "";
    for (const Json& element : value) {
      out += separator;
      AppendJson(out, element);
      separator = ", ";
    }
    out += ']';
  } else if (value.is_string()) {
    AppendString(out, value.get_ref<const std::string&>());
  } else {
    out += value.dump();
  }
}

const char* DirectiveName(int32_t kind) {
  switch (kind) {
    case kProductDirective:
      return "*product";
    case kScriptDirective:
      return "*script";
    case kSectionDirective:
      return "*section";
    case kDownloadDirective:
      return "*download";
    case kLoadEnvDirective:
      return "*loadenv";
    case kSetEnvDirective:
      return "*setenv";
    case kEditEnvDirective:
      return "*editenv";
    case kSaveEnvDirective:
      return "*saveenv";
    case kRestartDirective:
      return "*restart";
    default:
      return "";
  }
}

Json Entries(const std::map<ProductKey, std::string>& table) {
  Json entries = Json::array();
  for (const auto& [key, description] : table) {
    entries.push_back(
        {{"vendor", key.vendorId}, {"product", key.productId}, {"description", description}});
  }
  return entries;
}

Json DescribeDirective(const Directive& directive) {
  Json entry = {{"kind", directive.Kind()}, {"directive", DirectiveName(directive.Kind())}};
  if (const auto* section = dynamic_cast<const SectionDirective*>(&directive)) {
    entry["description"] = section->Description();
  } else if (const auto* download = dynamic_cast<const DownloadDirective*>(&directive)) {
    const DataSection& image = download->Section();
    const std::span<const uint8_t> bytes(image.Bytes(), image.Length());
    // The chunks that would travel: a chunk of only 0xFF bytes is left to the fill.
    uint64_t nonblank = 0;
    for (size_t offset = 0; offset < bytes.size(); offset += 1024) {
      const auto chunk = bytes.subspan(offset, std::min<size_t>(1024, bytes.size() - offset));
      if (std::any_of(chunk.begin(), chunk.end(), [](uint8_t b) { return b != 0xFF; })) {
        ++nonblank;
      }
    }
    entry["base"] = image.Base();
    entry["length"] = image.Length();
    entry["crc32"] = Crc32(bytes);
    entry["nonblank_chunks"] = nonblank;
  } else if (const auto* env = dynamic_cast<const LoadSaveEnvDirective*>(&directive)) {
    entry["address"] = env->Address();
    entry["length"] = env->Length();
  } else if (const auto* set = dynamic_cast<const SetEnvDirective*>(&directive)) {
    entry["name"] = set->Name();
    entry["value"] = set->Value();
  } else if (const auto* edit = dynamic_cast<const EditEnvDirective*>(&directive)) {
    entry["words"] = edit->Words();
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
      const Script script(file);
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
  command->add_flag("--json", options->json,
                    "Print one JSON object per file, one per line, instead of a summary");
  command->add_option("FILE", options->files, "Script files (.QOR) to read")->required();
  command->footer(
      "Exit status: 0 when every file reads, 1 when any fails, 2 on a usage error.\n"
      "A failure prints the message QOR would show the operator.");
  return [options] { return RunCheck(*options); };
}

}  // namespace qor::cli
