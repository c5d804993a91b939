#pragma once

#include <string>
#include <vector>

#include "catalog/ScriptCatalogue.h"
#include "script/Script.h"

namespace qor::test {

// Where a catalogue script stands in a target's context menu, counting entries but not
// separators: "Assign IP Address..." is 0, the product's scripts follow in the catalogue's
// order (the directory's, read here the same way the program reads it). -1 when not offered.
inline int ContextMenuEntry(const std::string& programFolder, const ProductKey& key,
                            const std::string& description) {
  ScriptCatalogue catalogue;
  catalogue.ScanDirectory(programFolder);
  const std::vector<const Script*> scripts = catalogue.ScriptsForProduct(key);
  for (size_t i = 0; i < scripts.size(); ++i) {
    if (scripts[i]->ScriptDescription(key) == description) return static_cast<int>(i) + 1;
  }
  return -1;
}

}  // namespace qor::test
