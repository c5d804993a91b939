#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/DataBlock.h"
#include "script/ScriptReadObserver.h"

namespace qor {

class Script;

// Something QOR reads without a word although it is probably not what the author meant.
struct LintWarning {
  int32_t line = 0;  // 0 when it is about the script as a whole
  std::string text;
};

// Looks at a script as it is read, for what the reader silently ignores or accepts: directives
// no parser knows (a typo such as *restrat), lines of a *download group that are not S3 records,
// S3 records whose checksum is wrong, a script with nothing to run, and *script entries for
// products that no *product of the script names. The reading itself stays exactly as it is.
//
// Records without data (S0 header, S5 and S6 counts, S7 to S9 start addresses) are ignored
// without a warning: nothing of the image is lost with them.
class ScriptLint final : public ScriptReadObserver {
 public:
  ScriptLint();
  ~ScriptLint();
  ScriptLint(const ScriptLint&) = delete;
  ScriptLint& operator=(const ScriptLint&) = delete;

  void GroupBegins(std::string_view directiveLine, int32_t lineNumber) override;
  void LineRead(std::string_view line, int32_t lineNumber) override;
  void GroupRead(const Directive* directive) override;
  // Once the script has been read: adds what concerns it as a whole.
  void Finish(const Script& script);

  // In line order; those about the whole script first.
  [[nodiscard]] std::vector<LintWarning> Warnings() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A warning worded as the reader words its errors, so that editors that jump to those jump to
// these too: "Warning in \"x.QOR\", line 7: Unknown directive *restrat ignored".
[[nodiscard]] std::string LintWarningText(const std::string& fileName, const LintWarning& warning);

// What is wrong with one line of a *download group, or nothing when QOR loads it as it looks.
[[nodiscard]] std::string LintDownloadLine(std::string_view line);
// The same, reading the record into scratch, whose storage is reused from line to line.
[[nodiscard]] std::string LintDownloadLine(std::string_view line, DataBlock& scratch);

}  // namespace qor
