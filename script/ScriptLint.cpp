#include "script/ScriptLint.h"

#include <algorithm>
#include <map>

#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"
#include "script/Directive.h"
#include "script/Lexer.h"
#include "script/ProductScriptDirective.h"
#include "script/Script.h"

namespace qor {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Two hexadecimal digits at position, or -1.
int HexByte(std::string_view line, size_t position) {
  if (position + 2 > line.size()) return -1;
  try {
    return HexDigitValue(line[position]) * 16 + HexDigitValue(line[position + 1]);
  } catch (const Exception&) {
    return -1;
  }
}

// record: what ParseSRecordInto read from line, so only the checksum is left to read.
std::string S3Checksum(std::string_view line, const DataBlock& record) {
  const size_t count = record.bytes.size() + 5;
  unsigned sum = static_cast<unsigned>(count);
  for (int shift = 0; shift < 32; shift += 8) sum += (record.address >> shift) & 0xFFu;
  for (const uint8_t byte : record.bytes) sum += byte;
  const size_t checksumAt = 4 + 2 * (count - 1);
  const int expected = static_cast<int>(~sum & 0xFF);
  const int written = HexByte(line, checksumAt);
  if (written < 0) return "S3 record without a checksum";
  if (written != expected) {
    return Format("S3 record's checksum is %02X, not %02X: the record may be damaged", written,
                  expected);
  }
  if (line.size() > checksumAt + 2) return "Characters after the S3 record's checksum are ignored";
  return {};
}

}  // namespace

std::string LintDownloadLine(std::string_view line) {
  DataBlock scratch;
  return LintDownloadLine(line, scratch);
}

std::string LintDownloadLine(std::string_view line, DataBlock& scratch) {
  bool record = false;
  try {
    record = ParseSRecordInto(line, scratch);
  } catch (const Exception&) {
    return {};  // the reader fails on it anyway
  }
  if (record) return S3Checksum(line, scratch);
  if (line.size() >= 2 && line[0] == 'S' && IsDigit(line[1])) {
    if (line[1] == '3') return "S3 record too short for its address: ignored";
    if (line[1] == '1' || line[1] == '2') {
      return Format("S%c record ignored: only S3 records are loaded", line[1]);
    }
    return {};  // no data in it
  }
  return "Line ignored: not an S3 record";
}

struct ScriptLint::State {
  std::vector<LintWarning> warnings;
  std::map<ProductKey, int32_t> scriptLines;  // the last *script entry of each product
  // The group being read: its directive word and line, and how many lines followed.
  std::string word;
  int32_t firstLine = 0;
  bool download = false;
  size_t linesAfter = 0;
  DataBlock record;  // reused for every line
};

ScriptLint::ScriptLint() : state_(std::make_unique<State>()) {}
ScriptLint::~ScriptLint() = default;

void ScriptLint::GroupBegins(std::string_view directiveLine, int32_t lineNumber) {
  State& s = *state_;
  s.word = std::string(directiveLine.substr(0, directiveLine.find_first_of(" \t\f\v\"")));
  s.firstLine = lineNumber;
  // Its lines are looked at as they come; a group that does not parse fails the script.
  s.download = EqualsIgnoreCase(s.word, "*download");
  s.linesAfter = 0;
}

void ScriptLint::LineRead(std::string_view line, int32_t lineNumber) {
  State& s = *state_;
  ++s.linesAfter;
  if (!s.download) return;
  std::string text = LintDownloadLine(line, s.record);
  if (!text.empty()) s.warnings.push_back({lineNumber, std::move(text)});
}

void ScriptLint::GroupRead(const Directive* directive) {
  State& s = *state_;
  if (directive == nullptr) {
    s.warnings.push_back(
        {s.firstLine, Format("Unknown directive %s ignored%s", s.word.c_str(),
                             s.linesAfter > 0 ? ", with the lines that follow it" : "")});
    return;
  }
  if (directive->Kind() == kScriptDirective) {
    s.scriptLines[static_cast<const ProductScriptDirective*>(directive)->Key()] = s.firstLine;
  }
}

void ScriptLint::Finish(const Script& script) {
  State& s = *state_;
  if (script.DirectiveCount() == 0) {
    s.warnings.push_back({0, "No directive to run: the script does nothing"});
  }
  for (const ProductKey& key : script.ScriptTargets()) {
    if (script.ProductEntries().contains(key)) continue;
    const auto line = s.scriptLines.find(key);
    s.warnings.push_back(
        {line == s.scriptLines.end() ? 0 : line->second,
         Format("*script entry for product 0x%04X:0x%04X, which no *product of the script names",
                key.vendorId, key.productId)});
  }
}

std::vector<LintWarning> ScriptLint::Warnings() const {
  std::vector<LintWarning> sorted = state_->warnings;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const LintWarning& a, const LintWarning& b) { return a.line < b.line; });
  return sorted;
}

std::string LintWarningText(const std::string& fileName, const LintWarning& warning) {
  // Joined rather than formatted: a long path must not cut the warning short.
  std::string text = "Warning in \"" + fileName + "\"";
  if (warning.line > 0) text += ", line " + std::to_string(warning.line);
  return text + ": " + warning.text;
}

}  // namespace qor
