#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/ProductKey.h"
#include "script/Directive.h"

namespace qor {

class ScriptReadObserver;

// A script file read completely: construction yields a whole Script or throws Exception.
class Script {
 public:
  // Reads fileName, trying registry's parsers in order on every group of lines. observer, when
  // given, is shown every group read; it changes nothing about the reading.
  Script(const std::string& fileName, std::span<const DirectiveParser> registry,
         ScriptReadObserver* observer = nullptr);
  ~Script();
  Script(const Script&) = delete;
  Script& operator=(const Script&) = delete;

  [[nodiscard]] const std::string& FileName() const;
  [[nodiscard]] const std::map<ProductKey, std::string>& ProductEntries() const;
  [[nodiscard]] std::vector<ProductKey> ScriptTargets() const;
  // The description of the script for key, empty when the script does not serve it.
  [[nodiscard]] std::string ScriptDescription(const ProductKey& key) const;
  [[nodiscard]] int32_t DirectiveCount() const;
  // Throws Exception("Requesting out-of-range directive from script").
  [[nodiscard]] const Directive& DirectiveAt(int32_t index) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
