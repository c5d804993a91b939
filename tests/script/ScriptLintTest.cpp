#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/DownloadDirective.h"
#include "script/Script.h"
#include "script/ScriptLint.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

struct Warned {
  int32_t line;
  std::string text;
  bool operator==(const Warned&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Warned& warned) {
  return out << warned.line << ": " << warned.text;
}

std::vector<Warned> Lint(test::TempFiles& files, const std::string& text) {
  ScriptLint lint;
  const Script script(files.Write("lint.qor", text), DirectiveRegistry(), &lint);
  lint.Finish(script);
  std::vector<Warned> found;
  for (const LintWarning& warning : lint.Warnings()) found.push_back({warning.line, warning.text});
  return found;
}

TEST(ScriptLintTest, WarnsAboutWhatTheReaderSilentlyIgnoresOrAccepts) {
  struct Row {
    const char* script;
    std::vector<Warned> warnings;
  };
  const Row rows[] = {
      {"*product 0x1234 1 Board\n*script 0x1234 1 Flash\n*section a\n*restart\n", {}},
      {"*section a\n*restrat\n", {{2, "Unknown directive *restrat ignored"}}},
      {"*section a\n*downlaod 0x1000 16\nS3060000100042A7\n",
       {{2, "Unknown directive *downlaod ignored, with the lines that follow it"}}},
      // Comments and blank lines inside a group keep the line numbers true.
      {"*download 0x1000 16\n# note\n\ns3060000100042A7\nS3060000100042A7\nnot a record\n",
       {{4, "Line ignored: not an S3 record"}, {6, "Line ignored: not an S3 record"}}},
      {"*download 0x1000 16\nS10500001042B8\nS2060000104213\nS3060000\n",
       {{2, "S1 record ignored: only S3 records are loaded"},
        {3, "S2 record ignored: only S3 records are loaded"},
        {4, "S3 record too short for its address: ignored"}}},
      // Records without data are no loss.
      {"*download 0x1000 16\nS0030000FC\nS3060000100042A7\nS70500001000EA\n", {}},
      {"*download 0x1000 16\nS3060000100042A6\nS30600001000420\nS3060000100042\n"
       "S3060000100042A7FF\n",
       {{2, "S3 record's checksum is A6, not A7: the record may be damaged"},
        {3, "S3 record without a checksum"},
        {4, "S3 record without a checksum"},
        {5, "Characters after the S3 record's checksum are ignored"}}},
      {"# nothing but a header\n*product 0x1234 1 Board\n",
       {{0, "No directive to run: the script does nothing"}}},
      {"*product 0x1234 1 Board\n*script 0x1234 1 Flash\n*script 0x1234 2 Plus\n*restart\n",
       {{3, "*script entry for product 0x1234:0x0002, which no *product of the script names"}}},
  };
  test::TempFiles files;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.script);
    EXPECT_EQ(Lint(files, row.script), row.warnings);
  }
}

TEST(ScriptLintTest, LookingOnChangesNothingAboutTheReading) {
  test::TempFiles files;
  const std::string text =
      "*script 0x1234 2 Plus\n*restrat\n*download 0x1000 16\nS3060000100042A6\njunk\n"
      "*section a\n";
  const std::string path = files.Write("same.qor", text);
  ScriptLint lint;
  const Script watched(path, DirectiveRegistry(), &lint);
  const Script plain(path, DirectiveRegistry());
  ASSERT_EQ(watched.DirectiveCount(), plain.DirectiveCount());
  ASSERT_EQ(watched.DirectiveCount(), 2);
  const auto& image = static_cast<const DownloadDirective&>(watched.DirectiveAt(0)).Section();
  EXPECT_EQ(image.ExtractBlock(image.Base(), 1).bytes, std::vector<uint8_t>{0x42})
      << "a record with a wrong checksum still loads, as before";
  EXPECT_EQ(watched.ScriptTargets(), plain.ScriptTargets());
}

}  // namespace
}  // namespace qor
