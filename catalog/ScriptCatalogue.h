#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/ProductKey.h"

namespace qor {

class Script;

// Product names and offered scripts by ProductKey, from the script files beside the program (and,
// where the system keeps programs' data apart from them, from its script folders).
class ScriptCatalogue {
 public:
  ScriptCatalogue();
  ~ScriptCatalogue();
  ScriptCatalogue(const ScriptCatalogue&) = delete;
  ScriptCatalogue& operator=(const ScriptCatalogue&) = delete;

  void ScanDirectory(const std::string& directory);
  // Scans several folders, most important first: a product named in several takes the name of
  // the most important one, and a script file whose name a more important folder also holds is
  // left out there, so a copy in one's own folder replaces the one installed for everybody.
  void ScanDirectories(const std::vector<std::string>& folders);
  // Reads and registers one script; a file that cannot be read contributes nothing.
  void AddScriptFile(const std::string& path);
  // "Unknown Product" when no script names the product.
  [[nodiscard]] std::string ProductName(const ProductKey& key) const;
  [[nodiscard]] std::vector<const Script*> ScriptsForProduct(const ProductKey& key) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
