#include "catalog/ScriptCatalogue.h"

#include <exception>
#include <set>
#include <utility>

#include "exec/DirectiveRegistry.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "script/Script.h"
#include "trust/ReadScript.h"
#include "trust/TrustedKeys.h"

namespace qor {

struct ScriptCatalogue::State {
  const TrustedKeys& keys;
  std::map<ProductKey, std::string> productNames;
  std::map<ProductKey, std::vector<const Script*>> scriptsByProduct;
  // Owns every script kept; the sequences above only refer to them.
  std::vector<std::unique_ptr<Script>> ownedScripts;
};

namespace {

const TrustedKeys& NoKeys() {
  static const TrustedKeys none;
  return none;
}

}  // namespace

ScriptCatalogue::ScriptCatalogue() : ScriptCatalogue(NoKeys()) {}

ScriptCatalogue::ScriptCatalogue(const TrustedKeys& keys) : state_(new State{keys, {}, {}, {}}) {}

ScriptCatalogue::~ScriptCatalogue() = default;

namespace {

// The script files of directory as full paths, in the order the listing gives them.
std::vector<std::pair<std::string, std::string>> ScriptFilesIn(const std::string& directory) {
  std::string prefix = directory;
  if (prefix.empty() || prefix.back() != kPathSeparator) prefix += kPathSeparator;
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& name : ListScriptFiles(directory)) {
    if (name == "." || name == "..") continue;
    std::string path = prefix + name;
    if (IsDirectory(path)) continue;
    files.emplace_back(name, std::move(path));
  }
  return files;
}

}  // namespace

void ScriptCatalogue::ScanDirectory(const std::string& directory) {
  // In the order the listing gives them: a later file's product names replace earlier ones.
  for (const auto& [name, path] : ScriptFilesIn(directory)) AddScriptFile(path);
}

void ScriptCatalogue::ScanDirectories(const std::vector<std::string>& folders) {
  std::vector<std::vector<std::pair<std::string, std::string>>> listings;
  for (const std::string& folder : folders) listings.push_back(ScriptFilesIn(folder));
  // The least important first, so that the names of the more important ones come later and win.
  for (size_t i = listings.size(); i-- > 0;) {
    std::set<std::string> moreImportant;
    for (size_t j = 0; j < i; ++j) {
      for (const auto& [name, path] : listings[j]) moreImportant.insert(name);
    }
    for (const auto& [name, path] : listings[i]) {
      if (moreImportant.count(name) == 0) AddScriptFile(path);
    }
  }
}

void ScriptCatalogue::AddScriptFile(const std::string& path) {
  std::unique_ptr<Script> script;
  try {
    script = ReadScriptFile(path);
  } catch (const Exception&) {
    return;  // unreadable, broken or not signed as the keys ask: contributes nothing, no message
  } catch (const std::exception&) {
    return;  // e.g. a file too large to hold: the same
  }

  for (const auto& [key, description] : script->ProductEntries()) {
    state_->productNames[key] = description;
  }
  const std::vector<ProductKey> targets = script->ScriptTargets();
  for (const ProductKey& key : targets) state_->scriptsByProduct[key].push_back(script.get());
  // A script that serves no product gave its names and is not kept.
  if (!targets.empty()) state_->ownedScripts.push_back(std::move(script));
}

std::unique_ptr<Script> ScriptCatalogue::ReadScriptFile(const std::string& path) const {
  return ReadScript(path, DirectiveRegistry(), state_->keys).script;
}

std::string ScriptCatalogue::ProductName(const ProductKey& key) const {
  const auto found = state_->productNames.find(key);
  return found == state_->productNames.end() ? std::string("Unknown Product") : found->second;
}

std::vector<const Script*> ScriptCatalogue::ScriptsForProduct(const ProductKey& key) const {
  const auto found = state_->scriptsByProduct.find(key);
  return found == state_->scriptsByProduct.end() ? std::vector<const Script*>{} : found->second;
}

}  // namespace qor
