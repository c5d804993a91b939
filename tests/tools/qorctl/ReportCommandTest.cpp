// qorctl report as a line manager's assistant runs it: the program started on record files, its
// output compared with saved files, its exit status and what it says on standard error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/RunProgram.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

namespace fs = std::filesystem;

const std::string kData = std::string(QOR_SOURCE_DIR) + "/tests/tools/qorctl/data/report";
const std::string kSkipped =
    "qorctl report: left out 2 of 18 lines:\n"
    "  torn last line (1): line-1.jsonl:14\n"
    "  unknown event (1): line-1.jsonl:9 (\"note\")\n";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

test::ProgramRun Report(const std::vector<std::string>& arguments,
                        const std::string& folder = kData,
                        test::ProgramOptions options = test::ProgramOptions()) {
  std::vector<std::string> all{"report"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  options.folder = folder;
  return test::RunProgram(QORCTL_PATH, all, options);
}

std::string Golden(const char* name) {
  return ReadFile(fs::path(QOR_SOURCE_DIR) / "tests/tools/qorctl/golden" / name);
}

TEST(ReportCommand, TextAndJsonMatchTheirGoldenFiles) {
  const test::ProgramRun text = Report({"--utc", "line-1.jsonl", "line-2.jsonl"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.err, kSkipped);
  EXPECT_EQ(text.out, Golden("report.txt"));

  const test::ProgramRun json = Report({"--utc", "--json", "line-1.jsonl", "line-2.jsonl"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.err, kSkipped);
  EXPECT_EQ(json.out, Golden("report.json"));
}

TEST(ReportCommand, ExitStatusAndWhatStandardErrorSays) {
  test::TempFiles files;
  files.Write("empty.jsonl", "");
  files.Write("junk.jsonl", "not json\n\n{\"event\":\"end\"}\n");
  files.Write("one.jsonl",
              "{\"event\":\"end\",\"mac\":\"02:00:00:00:00:01\",\"outcome\":\"passed\"}\n");
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string err;  // its start, or all of it when it ends in a line end
  } cases[] = {
      {{"one.jsonl"}, 0, ""},
      {{"empty.jsonl"}, 1, "No record line could be read from \"empty.jsonl\"\n"},
      {{"junk.jsonl", "empty.jsonl"},
       1,
       "qorctl report: left out 2 of 2 lines:\n"
       "  not JSON (1): junk.jsonl:1\n"
       "  missing field (1): junk.jsonl:3 (no \"mac\")\n"
       "No record line could be read from \"junk.jsonl\", \"empty.jsonl\"\n"},
      // A file that cannot be read stops the report: one without it would look complete.
      {{"one.jsonl", "missing.jsonl"}, 1, "Cannot open \"missing.jsonl\"\n"},
      {{"one.jsonl", "--html", "no-such-folder/report.html"},
       1,
       "Cannot write \"no-such-folder/report.html\"\n"},
      {{}, 2, "qorctl report: RECORD is required"},
      {{"--slowest", "many", "one.jsonl"}, 2, "qorctl report: --slowest: \"many\" is not a number"},
      {{"--slowest", "1001", "one.jsonl"}, 2, "qorctl report: --slowest: 1001 is not from 0"},
      {{"--json", "--html", "-", "one.jsonl"},
       2,
       "qorctl report: --json and --html - would both write to standard output"},
  };
  for (const auto& c : cases) {
    const std::string name = c.arguments.empty() ? "(none)" : c.arguments.front();
    const test::ProgramRun run = Report(c.arguments, files.Folder());
    EXPECT_EQ(run.status, c.status) << name;
    if (!c.err.empty() && c.err.back() == '\n') {
      EXPECT_EQ(run.err, c.err) << name;
    } else {
      EXPECT_EQ(run.err.substr(0, c.err.size()), c.err) << name;
    }
    if (c.status != 0) {
      EXPECT_EQ(run.out, "") << name;
    }
  }
}

TEST(ReportCommand, HtmlGoesToItsFileOnlyAndEscapesTheRecord) {
  test::TempFiles files;
  const std::string page = files.Folder() + "/report.html";
  const test::ProgramRun run = Report({"--utc", "--html", page, "line-1.jsonl", "line-2.jsonl"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kSkipped);
  const std::string html = ReadFile(page);
  EXPECT_EQ(html.rfind("<!DOCTYPE html>\n", 0), 0u);
  EXPECT_EQ(html.substr(html.size() - 8), "</html>\n");
  // The record's texts, escaped: an error with markup in it, a path with every special character.
  EXPECT_NE(html.find("Target said &lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; left"),
            std::string::npos);
  EXPECT_NE(html.find("/srv/a&amp;b/&quot;quoted&quot; &lt;v2&gt;.QOR"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<v2>"), std::string::npos);
  // Nothing to fetch, nothing to run.
  for (const char* outside : {"http", "src=", "href=", "url(", "@import", "<link", "<img"}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  // The figures the text gives are there too.
  for (const char* figure : {">7</span>", "66.7 %", "2026-12-09 06:58 to 2026-12-09 10:16",
                             "8 runs, 1 unit run again", "torn last line (1): line-1.jsonl:14"}) {
    EXPECT_NE(html.find(figure), std::string::npos) << figure;
  }

  // "-" is standard output; with --json the JSON follows in a file of its own.
  const test::ProgramRun out = Report({"--utc", "--html", "-", "line-1.jsonl", "line-2.jsonl"});
  EXPECT_EQ(out.status, 0);
  // The page names the time it was made; everything else is the same.
  const auto withoutMade = [](std::string text) {
    const size_t at = text.find("<p class=\"made\">");
    return at == std::string::npos ? text : text.erase(at, text.find("</p>", at) - at);
  };
  EXPECT_EQ(withoutMade(out.out), withoutMade(html));
}

#ifndef _WIN32
TEST(ReportCommand, TimesAreLocalUnlessUtcIsAsked) {
  test::ProgramOptions india;
  india.environment = {{"TZ", "IST-5:30"}};
  const test::ProgramRun local = Report({"line-2.jsonl"}, kData, india);
  EXPECT_EQ(local.status, 0);
  // 08:10 UTC is 13:40 there.
  EXPECT_NE(local.out.find("Span:            2026-12-09 13:40 to 2026-12-09 15:46 (2 h 06 min), "
                           "local time, UTC+05:30\n"),
            std::string::npos)
      << local.out;
  EXPECT_NE(local.out.find("  2026-12-09 13:00      1      0      1"), std::string::npos);
  const test::ProgramRun utc = Report({"--utc", "line-2.jsonl"}, kData, india);
  EXPECT_NE(utc.out.find("2026-12-09 08:10 to 2026-12-09 10:16 (2 h 06 min), UTC\n"),
            std::string::npos)
      << utc.out;
}
#endif

}  // namespace
}  // namespace qor
