#include "script/ScriptLint.h"

#include <algorithm>
#include <map>

#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"
#include "script/Directive.h"
#include "script/ProductScriptDirective.h"
#include "script/Script.h"

namespace qor {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Two hexadecimal digits at position, or -1.
int HexByte(const std::string& line, size_t position) {
  if (position + 2 > line.size()) return -1;
  try {
    return HexDigitValue(line[position]) * 16 + HexDigitValue(line[position + 1]);
  } catch (const Exception&) {
    return -1;
  }
}

std::string S3Checksum(const std::string& line) {
  // ParseSRecord has read the count, the address and count - 5 data bytes: all hexadecimal.
  const int count = HexByte(line, 2);
  const size_t checksumAt = 4 + 2 * (static_cast<size_t>(count) - 1);
  unsigned sum = 0;
  for (size_t at = 2; at < checksumAt; at += 2) sum += static_cast<unsigned>(HexByte(line, at));
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

std::string LintDownloadLine(const std::string& line) {
  std::optional<DataBlock> record;
  try {
    record = ParseSRecord(line);
  } catch (const Exception&) {
    return {};  // the reader fails on it anyway
  }
  if (record) return S3Checksum(line);
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
};

ScriptLint::ScriptLint() : state_(std::make_unique<State>()) {}
ScriptLint::~ScriptLint() = default;

void ScriptLint::GroupRead(const std::vector<std::string>& lines,
                           const std::vector<int32_t>& lineNumbers, const Directive* directive) {
  State& s = *state_;
  if (directive == nullptr) {
    const std::string& first = lines.front();
    const std::string word = first.substr(0, first.find_first_of(" \t\f\v\""));
    s.warnings.push_back(
        {lineNumbers.front(), Format("Unknown directive %s ignored%s", word.c_str(),
                                     lines.size() > 1 ? ", with the lines that follow it" : "")});
    return;
  }
  if (directive->Kind() == kScriptDirective) {
    s.scriptLines[static_cast<const ProductScriptDirective*>(directive)->Key()] =
        lineNumbers.front();
  }
  if (directive->Kind() != kDownloadDirective) return;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string text = LintDownloadLine(lines[i]);
    if (!text.empty()) s.warnings.push_back({lineNumbers[i], std::move(text)});
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

}  // namespace qor
