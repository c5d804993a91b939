#include "script/Script.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string_view>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "script/ProductScriptDirective.h"
#include "script/ScriptReadObserver.h"

namespace qor {
namespace {

constexpr size_t kPieceLimit = 255;

constexpr char kTrimSet[] = " \t\f\v\n\r";

// The whole file with its line ends as a text-mode read delivers them: CR LF becomes LF.
bool ReadText(const std::string& fileName, std::string& text) {
  std::FILE* file = OpenFile(fileName, "rb");
  if (file == nullptr) return false;
  std::string raw;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) raw.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return false;  // a folder, say: nothing that can be read as a script
  text.clear();
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text.push_back(raw[i]);
  }
  return true;
}

// The next piece of text from position, trimmed; empty for a blank piece. Pieces are read as a
// 256-byte line buffer reads them: at most 255 characters, ending after the first line feed
// within that limit, so a longer physical line becomes several pieces, each numbered as a line
// of its own. A piece is a C string: it ends at its first NUL byte.
std::string NextLine(const std::string& text, size_t& position) {
  size_t end = text.find('\n', position);
  end = end == std::string::npos ? text.size() : end + 1;
  end = std::min(end, position + kPieceLimit);
  const std::string_view piece(text.data() + position, end - position);
  position = end;
  const std::string_view line = piece.substr(0, piece.find('\0'));
  const size_t first = line.find_first_not_of(kTrimSet);
  if (first == std::string_view::npos) return {};
  const size_t last = line.find_last_not_of(kTrimSet);
  return std::string(line.substr(first, last - first + 1));
}

// The directive line and the lines that follow it, each with the number it was read under.
struct Group {
  std::vector<std::string> lines;
  std::vector<int32_t> lineNumbers;
};

}  // namespace

struct Script::State {
  std::string fileName;
  std::map<ProductKey, std::string> products;
  std::map<ProductKey, std::string> scripts;
  std::vector<std::unique_ptr<Directive>> directives;
  const Script* owner = nullptr;
  ScriptReadObserver* observer = nullptr;

  void Build(const Group& group, std::span<const DirectiveParser> registry);
  void File(std::unique_ptr<Directive> directive);
};

// Tries the registry's parsers in order; the first that returns a directive wins, and a name no
// parser knows is ignored with all its lines.
void Script::State::Build(const Group& group, std::span<const DirectiveParser> registry) {
  // Only the file name may be used by a parser: the owner Script is still being built.
  const Script& script = *owner;
  std::unique_ptr<Directive> directive;
  try {
    for (const DirectiveParser parser : registry) {
      directive = parser(script, group.lines);
      if (directive) break;
    }
  } catch (const ParseException& error) {
    // Name the line where the offending text really stands, so comments and blank lines
    // inside a group do not shift the number.
    const int32_t offset = error.LineOffset();
    const long long line = offset >= 0 && static_cast<size_t>(offset) < group.lineNumbers.size()
                               ? group.lineNumbers[static_cast<size_t>(offset)]
                               : static_cast<long long>(group.lineNumbers.front()) + offset;
    throw Exception(
        Format("Error in \"%s\", line %lld: %s", fileName.c_str(), line, error.Message().c_str()));
  } catch (const Exception& error) {
    throw Exception(Format("Error in \"%s\", in directive starting at line %d: %s",
                           fileName.c_str(), group.lineNumbers.front(), error.Message().c_str()));
  } catch (const std::bad_alloc&) {
    // An image of gigabytes, say: one script that cannot be held must not end the program.
    throw Exception(Format("Error in \"%s\", in directive starting at line %d: %s",
                           fileName.c_str(), group.lineNumbers.front(), "Not enough memory"));
  }
  if (observer != nullptr) observer->GroupRead(group.lines, group.lineNumbers, directive.get());
  if (directive) File(std::move(directive));
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
               ScriptReadObserver* observer)
    : state_(std::make_unique<State>()) {
  state_->owner = this;
  state_->observer = observer;
  state_->fileName = fileName;
  std::string text;
  if (!ReadText(fileName, text)) throw Exception(Format("Cannot open \"%s\"", fileName.c_str()));

  Group pending;
  int32_t lineCounter = 0;
  size_t position = 0;
  while (position < text.size()) {
    std::string line = NextLine(text, position);
    ++lineCounter;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '*') {
      if (!pending.lines.empty()) state_->Build(pending, registry);
      pending = Group{};
    } else if (pending.lines.empty()) {
      throw Exception(
          Format("Error in \"%s\", line %d: expected directive", fileName.c_str(), lineCounter));
    }
    pending.lines.push_back(std::move(line));
    pending.lineNumbers.push_back(lineCounter);
  }
  if (!pending.lines.empty()) state_->Build(pending, registry);
}

Script::~Script() = default;

const std::string& Script::FileName() const { return state_->fileName; }

const std::map<ProductKey, std::string>& Script::ProductEntries() const { return state_->products; }

std::vector<ProductKey> Script::ScriptTargets() const {
  std::vector<ProductKey> keys;
  keys.reserve(state_->scripts.size());
  for (const auto& entry : state_->scripts) keys.push_back(entry.first);
  return keys;
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
