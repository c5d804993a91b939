// Environment variables as text: every byte a block can hold goes into a file and comes back.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "net/EnvironmentFile.h"
#include "net/TargetEnvironment.h"
#include "platform/Exception.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

using Entries = std::map<std::string, std::string>;

std::string ErrorOf(const std::string& text) {
  try {
    static_cast<void>(ParseEnvironmentFile(text, "x.env"));
  } catch (const Exception& error) {
    return error.Message();
  }
  return {};
}

TEST(EnvironmentFile, EachEntryIsOneLineThatReadsBackAsTheSameBytes) {
  std::string everyByte;
  for (int byte = 1; byte < 256; ++byte) everyByte += static_cast<char>(byte);
  struct Row {
    std::string name, value;
    std::string line;  // as written; empty where every byte is not worth spelling out
  };
  const std::vector<Row> rows = {
      {"ipaddr", "127.0.0.10", "ipaddr=127.0.0.10"},
      {"bootcmd", "a=b=c", "bootcmd=a=b=c"},
      {"empty", "", "empty="},
      {"", "no name", "=no name"},
      {"", "", "="},
      {"path", "C:\\dir\\", "path=C:\\\\dir\\\\"},
      {"latin", "caf\xE9", "latin=caf\\xE9"},
      {"utf8", "caf\xC3\xA9", "utf8=caf\\xC3\\xA9"},
      {"ctl", "\x01\t\r\n\x1F\x7F", "ctl=\\x01\\x09\\x0D\\x0A\\x1F\\x7F"},
      {"#hash", "#not a comment", "\\x23hash=#not a comment"},
      {"a#", "x", "a#=x"},
      {"trail", "two  ", "trail=two \\x20"},
      {"  lead", " lead", "  lead= lead"},
      {"esc", "\\x41", "esc=\\\\x41"},
      {"\xFF", everyByte, ""},
  };
  Entries all;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + "=" + row.value);
    const std::string line = EnvironmentLine(row.name, row.value);
    if (!row.line.empty()) {
      EXPECT_EQ(line, row.line);
    }
    EXPECT_EQ(
        line.find_first_not_of(" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                               "abcdefghijklmnopqrstuvwxyz{|}~"),
        std::string::npos)
        << "plain printable ASCII";
    EXPECT_EQ(ParseEnvironmentAssignment(line), std::make_pair(row.name, row.value));
    all.emplace(row.name, row.value);
  }
  // The whole table, as a file with comments, as a target's block would give it.
  const std::string text = EnvironmentFileText(all, {"Environment of 02:00:00:00:00:01", ""});
  EXPECT_EQ(text.substr(0, 36), "# Environment of 02:00:00:00:00:01\n#");
  EXPECT_EQ(ParseEnvironmentFile(text, "x.env"), all);
  TargetEnvironment table;
  table.entries = all;
  const DataBlock block = BuildEnvironmentBlock(table, 0, 4096);
  TargetEnvironment read;
  ASSERT_EQ(ParseEnvironmentBlock(block.bytes.data(), block.bytes.size(), read),
            EnvironmentBlockState::kValid);
  EXPECT_EQ(read.entries, all) << "nothing in the file that a block cannot say";
}

TEST(EnvironmentFile, ReadsWhatAnEditorMakesOfItAndRefusesWhatItCannotMean) {
  EXPECT_EQ(ParseEnvironmentFile("# a comment\r\n\r\na=1\r\n \t \nb=\\x09\nc=x\\x3dy", "x.env"),
            (Entries{{"a", "1"}, {"b", "\t"}, {"c", "x=y"}}));
  EXPECT_EQ(ParseEnvironmentFile("lower=\\xe9\\xFf", "x.env"), (Entries{{"lower", "\xE9\xFF"}}));
  EXPECT_EQ(ParseEnvironmentFile("", "x.env"), Entries{});
  EXPECT_EQ(ParseEnvironmentFile("# nothing but a comment", "x.env"), Entries{});

  struct Row {
    const char* text;
    const char* error;
  };
  const std::vector<Row> rows = {
      {"a=1\nno equals sign\n", "Error in \"x.env\", line 2: \"no equals sign\" is not NAME=VALUE"},
      {"a=C:\\dir",
       "Error in \"x.env\", line 1: \"\\d\" is no escape: write \\\\ for a backslash "
       "and \\xHH for a byte"},
      {"a=\\x4",
       "Error in \"x.env\", line 1: \"\\x4\" is no escape: write \\\\ for a backslash "
       "and \\xHH for a byte"},
      {"a=\\xG1",
       "Error in \"x.env\", line 1: \"\\xG1\" is no escape: write \\\\ for a backslash "
       "and \\xHH for a byte"},
      {"a=end\\",
       "Error in \"x.env\", line 1: \"\\\" is no escape: write \\\\ for a backslash "
       "and \\xHH for a byte"},
      {"a=x\\x00y",
       "Error in \"x.env\", line 1: \"a=x\\x00y\" holds a zero byte, which would "
       "end its entry in the block"},
      {"a\\x3Db=1",
       "Error in \"x.env\", line 1: The name \"a=b\" holds '=', which would end the "
       "name in the block"},
      {"# x\na=1\nb=2\n\na=1\n", "Error in \"x.env\", line 5: \"a\" is given on line 2 already"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(ErrorOf(row.text), row.error);
  }
}

TEST(EnvironmentFile, AWriteReplacesTheFileWholeOrLeavesItAsItWas) {
  test::TempFiles files;
  const std::string path = files.Folder() + "/02-00-00-00-00-01.env";
  const Entries first = {{"serial", "SIM00001"}, {"empty", ""}};
  WriteEnvironmentFile(path, EnvironmentFileText(first, {"first"}));
  EXPECT_EQ(ReadEnvironmentFile(path), first);
  const Entries second = {{"serial", "SIM00002"}};
  WriteEnvironmentFile(path, EnvironmentFileText(second, {}));
  EXPECT_EQ(ReadEnvironmentFile(path), second);
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));

  // A folder where the file should go: the write fails and the backup beside it is untouched.
  const std::string blocked = files.Folder() + "/blocked.env";
  std::filesystem::create_directory(blocked);
  std::filesystem::create_directory(blocked + "/inside");
  try {
    WriteEnvironmentFile(blocked, "a=1\n");
    ADD_FAILURE() << "wrote over a folder";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot write \"" + blocked + "\"");
  }
  EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
  EXPECT_FALSE(std::filesystem::exists(blocked + ".part"));
  EXPECT_EQ(ReadEnvironmentFile(path), second);
  try {
    static_cast<void>(ReadEnvironmentFile(files.Folder() + "/missing.env"));
    ADD_FAILURE() << "read a missing file";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot open \"" + files.Folder() + "/missing.env\"");
  }
}

}  // namespace
}  // namespace qor
