#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/ProductKey.h"

namespace qor {

class Script;
class TrustedKeys;

// Product names and offered scripts by ProductKey, from the script files beside the program (and,
// where the system keeps programs' data apart from them, from its script folders).
class ScriptCatalogue {
 public:
  // With no trusted key: every script that reads is taken.
  ScriptCatalogue();
  // Takes only scripts signed by one of keys (when there is any), images included; keys must
  // outlive the catalogue.
  explicit ScriptCatalogue(const TrustedKeys& keys);
  ~ScriptCatalogue();
  ScriptCatalogue(const ScriptCatalogue&) = delete;
  ScriptCatalogue& operator=(const ScriptCatalogue&) = delete;

  void ScanDirectory(const std::string& directory);
  // Scans several folders, most important first: a product named in several takes the name of
  // the most important one, and a script file whose name a more important folder also holds is
  // left out there, so a copy in one's own folder replaces the one installed for everybody.
  void ScanDirectories(const std::vector<std::string>& folders);
  // Reads and registers one script; a file that cannot be read, or whose signatures the trusted
  // keys do not accept, contributes nothing.
  void AddScriptFile(const std::string& path);
  // Reads one script chosen by the operator as the catalogue reads its own, with the same
  // keys. Throws Exception with the reason when it does not read.
  [[nodiscard]] std::unique_ptr<Script> ReadScriptFile(const std::string& path) const;
  // "Unknown Product" when no script names the product.
  [[nodiscard]] std::string ProductName(const ProductKey& key) const;
  [[nodiscard]] std::vector<const Script*> ScriptsForProduct(const ProductKey& key) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
