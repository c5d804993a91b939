#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/ProductKey.h"
#include "script/ByteDigest.h"
#include "script/Directive.h"

namespace qor {

class ScriptReadObserver;

// A script file read completely: construction yields a whole Script or throws Exception.
class Script {
 public:
  // Reads fileName, trying registry's parsers in order on every group of lines. observer, when
  // given, is shown every group read; it changes nothing about the reading. digests, when
  // given, hashes the script's bytes and those of every file its directives read, as they are
  // read (FileDigest, Directive::InputFiles).
  Script(const std::string& fileName, std::span<const DirectiveParser> registry,
         ScriptReadObserver* observer = nullptr, ByteDigestMaker digests = nullptr);
  // A script put together in memory, for running directives that no file holds (qorctl env
  // reads and writes a block with one *loadenv or *saveenv); name stands for the file name.
  // Header directives go to the product and script tables as the reader files them.
  Script(const std::string& name, std::vector<std::unique_ptr<Directive>> directives);
  ~Script();
  Script(const Script&) = delete;
  Script& operator=(const Script&) = delete;

  [[nodiscard]] const std::string& FileName() const;
  // The digest of the script file's bytes as they were read; empty when none was asked for.
  [[nodiscard]] const std::vector<uint8_t>& FileDigest() const;
  // For parsers: a fresh digest for a file a directive reads, or null when none was asked for.
  [[nodiscard]] std::unique_ptr<ByteDigest> NewDigest() const;
  [[nodiscard]] const std::map<ProductKey, std::string>& ProductEntries() const;
  [[nodiscard]] std::vector<ProductKey> ScriptTargets() const;
  // Whether the script is meant for key: one with *script entries for those products only, one
  // without for any.
  [[nodiscard]] bool Serves(const ProductKey& key) const;
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
