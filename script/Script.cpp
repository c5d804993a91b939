#include "script/Script.h"

#include <new>
#include <string_view>

#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DirectiveLines.h"
#include "script/LineReader.h"
#include "script/ProductScriptDirective.h"
#include "script/ScriptReadObserver.h"

namespace qor {

struct Script::State {
  std::string fileName;
  std::map<ProductKey, std::string> products;
  std::map<ProductKey, std::string> scripts;
  std::vector<std::unique_ptr<Directive>> directives;
  const Script* owner = nullptr;
  ScriptReadObserver* observer = nullptr;
  ByteDigestMaker digests = nullptr;
  std::vector<uint8_t> fileDigest;

  [[nodiscard]] std::unique_ptr<Directive> Build(DirectiveLines& group,
                                                 std::span<const DirectiveParser> registry);
  void File(std::unique_ptr<Directive> directive);
  [[noreturn]] void ThrowInDirective(const DirectiveLines& group,
                                     const std::string& message) const {
    throw Exception(Format("Error in \"%s\", in directive starting at line %lld: %s",
                           fileName.c_str(), static_cast<long long>(group.LineNumber(0)),
                           message.c_str()));
  }
};

// Tries the registry's parsers in order; the first that returns a directive wins, and a name no
// parser knows is ignored with all its lines.
std::unique_ptr<Directive> Script::State::Build(DirectiveLines& group,
                                                std::span<const DirectiveParser> registry) {
  // Only the file name may be used by a parser: the owner Script is still being built.
  const Script& script = *owner;
  std::unique_ptr<Directive> directive;
  try {
    for (const DirectiveParser parser : registry) {
      directive = parser(script, group);
      if (directive) break;
    }
  } catch (const ParseException& error) {
    // Name the line where the offending text really stands, so comments and blank lines
    // inside a group do not shift the number.
    const auto line = static_cast<long long>(group.LineNumber(error.LineOffset()));
    throw Exception(
        Format("Error in \"%s\", line %lld: %s", fileName.c_str(), line, error.Message().c_str()));
  } catch (const Exception& error) {
    ThrowInDirective(group, error.Message());
  } catch (const std::bad_alloc&) {
    // An image of gigabytes, say: one script that cannot be held must not end the program.
    ThrowInDirective(group, "Not enough memory");
  }
  return directive;
}

// Header directives go to their tables, later ones replacing earlier; the rest run in order.
void Script::State::File(std::unique_ptr<Directive> directive) {
  if (directive->Kind() == kProductDirective || directive->Kind() == kScriptDirective) {
    const auto& header = static_cast<const ProductScriptDirective&>(*directive);
    auto& table = directive->Kind() == kProductDirective ? products : scripts;
    table[header.Key()] = header.Description();
    return;
  }
  directives.push_back(std::move(directive));
}

Script::Script(const std::string& fileName, std::span<const DirectiveParser> registry,
               ScriptReadObserver* observer, ByteDigestMaker digests)
    : state_(std::make_unique<State>()) {
  state_->owner = this;
  state_->observer = observer;
  state_->digests = digests;
  state_->fileName = fileName;
  const std::unique_ptr<ByteDigest> digest = NewDigest();
  LineReader reader(fileName, digest.get());
  if (!reader.Opened()) throw Exception(Format("Cannot open \"%s\"", fileName.c_str()));

  // Groups are read and parsed one after another, each directive line with the lines up to the
  // next one, so that only the group being parsed is ever held.
  std::string_view line;
  bool more = false;
  while (reader.Next(line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] != '*') {
      throw Exception(Format("Error in \"%s\", line %d: expected directive", fileName.c_str(),
                             reader.LineNumber()));
    }
    more = true;
    break;
  }
  while (more) {
    DirectiveLines group(reader, line, observer);
    std::unique_ptr<Directive> directive = state_->Build(group, registry);
    more = group.SkipToNextDirective(line);
    if (observer != nullptr) observer->GroupRead(directive.get());
    if (directive) state_->File(std::move(directive));
  }
  if (reader.Failed()) throw Exception(Format("Cannot open \"%s\"", fileName.c_str()));
  if (digest) state_->fileDigest = digest->Finish();
}

Script::Script(const std::string& name, std::vector<std::unique_ptr<Directive>> directives)
    : state_(std::make_unique<State>()) {
  state_->owner = this;
  state_->fileName = name;
  for (std::unique_ptr<Directive>& directive : directives) state_->File(std::move(directive));
}

Script::~Script() = default;

const std::string& Script::FileName() const { return state_->fileName; }

const std::vector<uint8_t>& Script::FileDigest() const { return state_->fileDigest; }

std::unique_ptr<ByteDigest> Script::NewDigest() const {
  return state_->digests != nullptr ? state_->digests() : nullptr;
}

const std::map<ProductKey, std::string>& Script::ProductEntries() const { return state_->products; }

std::vector<ProductKey> Script::ScriptTargets() const {
  std::vector<ProductKey> keys;
  keys.reserve(state_->scripts.size());
  for (const auto& entry : state_->scripts) keys.push_back(entry.first);
  return keys;
}

bool Script::Serves(const ProductKey& key) const {
  return state_->scripts.empty() || state_->scripts.count(key) != 0;
}

std::string Script::ScriptDescription(const ProductKey& key) const {
  const auto found = state_->scripts.find(key);
  return found == state_->scripts.end() ? std::string() : found->second;
}

int32_t Script::DirectiveCount() const { return static_cast<int32_t>(state_->directives.size()); }

const Directive& Script::DirectiveAt(int32_t index) const {
  if (index < 0 || index >= DirectiveCount()) {
    throw Exception("Requesting out-of-range directive from script");
  }
  return *state_->directives[static_cast<size_t>(index)];
}

}  // namespace qor
