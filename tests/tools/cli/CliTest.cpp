#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/cli/CsvWriter.h"
#include "tools/cli/HelpFormatter.h"
#include "tools/cli/NumberValidators.h"

namespace qor::cli {
namespace {

TEST(CliTest, WrapTextBreaksAtSpacesWithinTheWidthAndKeepsLineBreaks) {
  struct Row {
    std::string text;
    size_t width;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"", 10, ""},
      {"short", 10, "short"},
      {"exactly ten", 11, "exactly ten"},
      {"exactly ten", 10, "exactly\nten"},
      {"one two three four", 9, "one two\nthree\nfour"},
      {"a verylongwordindeed b", 6, "a\nverylongwordindeed\nb"},
      {"first line\nsecond  line", 40, "first line\nsecond line"},
      {"para one is long\npara two", 8, "para one\nis long\npara two"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WrapText(row.text, row.width), row.expected) << row.text;
  }
}

TEST(CliTest, NumberChecksSayWhetherTheValueIsNoNumberOrOutOfRange) {
  struct Row {
    bool whole;
    std::string text;
    std::string error;  // empty: accepted
  };
  const std::vector<Row> rows = {
      {true, "0", ""},
      {true, "3600000", ""},
      {true, "abc", "\"abc\" is not a number"},
      {true, "", "\"\" is not a number"},
      {true, "12ms", "\"12ms\" is not a number"},
      {true, "-1", "-1 is not a whole number from 0 to 3600000"},
      {true, "1.5", "1.5 is not a whole number from 0 to 3600000"},
      {true, "3600001", "3600001 is not from 0 to 3600000"},
      {true, "99999999999999999999999", "99999999999999999999999 is not from 0 to 3600000"},
      {false, "2.5", ""},
      {false, "2592000", ""},
      {false, "nan", "\"nan\" is not a number"},
      {false, "soon", "\"soon\" is not a number"},
      {false, "-0.5", "-0.5 is not from 0 to 2592000"},
      {false, "1e9", "1e9 is not from 0 to 2592000"},
  };
  const CLI::Validator whole = WholeNumber(0, 3600000);
  const CLI::Validator decimal = DecimalNumber(0, 2592000);
  for (const Row& row : rows) {
    std::string text = row.text;
    EXPECT_EQ((row.whole ? whole : decimal)(text), row.error) << row.text;
  }
}

TEST(CliTest, HelpStaysWithin80ColumnsAndLeavesOutCli11sNotes) {
  CLI::App app{
      "A description long enough that it has to be wrapped somewhere before the eightieth "
      "column of a terminal.",
      "tool"};
  app.formatter(std::make_shared<HelpFormatter>());
  std::string target;
  bool all = false;
  auto* targetOption = app.add_option("--target", target,
                                      "An option whose description runs on well past the width "
                                      "of the second column, so it wraps")
                           ->type_name("MAC");
  auto* allOption = app.add_flag("--all", all, "The other choice");
  targetOption->excludes(allOption);
  std::string file;
  app.add_option("FILE", file, "A positional")->required();
  app.footer("A footer of the same kind, long enough to need a second line when it is printed.");

  const std::string help = app.help();
  size_t start = 0;
  while (start < help.size()) {
    const size_t end = help.find('\n', start);
    const std::string line = help.substr(start, end - start);
    EXPECT_LE(line.size(), HelpFormatter::kWidth) << line;
    start = end == std::string::npos ? help.size() : end + 1;
  }
  EXPECT_EQ(help.find("Excludes"), std::string::npos) << help;
  EXPECT_EQ(help.find("TEXT"), std::string::npos) << help;
  EXPECT_NE(help.find("Arguments:\n  FILE "), std::string::npos) << help;
  EXPECT_NE(
      help.find("  --target MAC                An option whose description runs on well past the\n"
                "                              width of the second column, so it wraps\n"),
      std::string::npos)
      << help;
}

TEST(CliTest, CsvQuotesOnlyFieldsThatNeedItDoublesQuotesAndEndsRecordsWithCrLf) {
  struct Row {
    std::string field;
    std::string written;
  };
  const std::vector<Row> rows = {
      {"", ""},
      {"QOR Demo Board", "QOR Demo Board"},
      {"Board, rev. B", "\"Board, rev. B\""},
      {"the \"big\" one", "\"the \"\"big\"\" one\""},
      {"\"", "\"\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"carriage\rreturn", "\"carriage\rreturn\""},
      {"semi;colon and 'apostrophe'", "semi;colon and 'apostrophe'"},
      {" padded ", " padded "},  // spaces are part of the field
      {"caf\xE9", "caf\xE9"},    // bytes go out as they are
  };
  for (const Row& row : rows) EXPECT_EQ(CsvField(row.field), row.written) << row.field;
  EXPECT_EQ(CsvRecord({"mac", "ip", "product_name"}), "mac,ip,product_name\r\n");
  EXPECT_EQ(CsvRecord({"02:00:00:00:00:01", "", "A, \"B\""}),
            "02:00:00:00:00:01,,\"A, \"\"B\"\"\"\r\n");
  EXPECT_EQ(CsvRecord({""}), "\r\n");
}

}  // namespace
}  // namespace qor::cli
