// Every message the script reader can give, with the file name and the line it names.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "exec/DirectiveRegistry.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "script/Script.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

struct ErrorCase {
  const char* content;
  // The message after "Error in \"FILE\", ".
  const char* expected;
};

class ScriptError : public ::testing::Test {
 protected:
  // The message for a script of content, or "" when it reads.
  std::string ErrorOf(const std::string& content, const std::string& name = "bad.qor") {
    const std::string path = files_.Write(name, content);
    try {
      Script script(path, DirectiveRegistry());
    } catch (const Exception& error) {
      return error.Message();
    }
    return "";
  }
  std::string Expected(const std::string& rest) const {
    return "Error in \"" + path_ + "\", " + rest;
  }
  void Check(const std::vector<ErrorCase>& cases) {
    for (const ErrorCase& c : cases) {
      EXPECT_EQ(ErrorOf(c.content), Expected(c.expected)) << c.content;
    }
  }

  test::TempFiles files_;
  const std::string path_ = files_.Folder() + "/bad.qor";
};

TEST_F(ScriptError, ExpectedDirective) {
  Check({
      {"S30900001000010203049A\n*restart\n", "line 1: expected directive"},
      {"# header\n\n   \n  stray text\n*restart\n", "line 4: expected directive"},
      {"#"
       "\n"
       "#\n#\n#\n#\n#\n#\n#\n#\n#\n"
       "x",
       "line 11: expected directive"},
  });
}

TEST_F(ScriptError, LexerErrorsNameTheDirectiveLine) {
  Check({
      {"*section one\n\n*section \"Boot\n", "line 3: Unbalanced double quotes"},
      {"*restart\n*section \"\n", "line 2: Unbalanced double quotes"},
      // Even a name that no parser knows is tokenized first.
      {"*section a\n*nosuch \"open\n", "line 2: Unbalanced double quotes"},
      {"\n\n\n\n\n\n\n\n\n\n\n*download 0x1000 0x10q\nS30900001000010203049A\n",
       "line 12: Invalid numeric constant"},
      {"*download 0x1000 08\n", "line 1: Invalid numeric constant"},
      {"*download 0x80000000 4\n", "line 1: Invalid numeric constant"},
  });
}

TEST_F(ScriptError, ProductAndScript) {
  Check({
      {"#\n*Product 0x1234 0x0001\n",
       "line 2: *Product directive must be followed by vendor ID, product ID and description"},
      {"*SCRIPT 0x1234 0x0001 a b\n",
       "line 1: *SCRIPT directive must be followed by vendor ID, product ID and description"},
      {"*product\n",
       "line 1: *product directive must be followed by vendor ID, product ID and description"},
      {"*product 0x1234 0x0001 \"Demo\"\n*script 0x1234 0x0001 "
       "\"Update\"\nS30900001000010203049A\n",
       "line 3: Extraneous line(s) following *script directive"},
      {"*script 0x12G4 0x0001 \"Update\"\nS30900001000010203049A\n",
       "line 1: Invalid numeric constant"},
      {"*product 0x1234 1x \"Demo\"\n", "line 1: Invalid numeric constant"},
  });
}

TEST_F(ScriptError, Section) {
  Check({
      {"*section\n", "line 1: *SECTION directive must be followed by description"},
      {"*Section two words\n", "line 1: *SECTION directive must be followed by description"},
      {"*section \"x\"\n\n  more\n", "line 3: Extraneous line(s) following *SECTION directive"},
  });
}

TEST_F(ScriptError, DownloadWords) {
  Check({
      {"*download 0x1000\n",
       "line 1: *DOWNLOAD directive must be followed by address, length, and optional filename"},
      {"*Download 0x1000 16 a.bin extra\n",
       "line 1: *DOWNLOAD directive must be followed by address, length, and optional filename"},
      {"*download\n",
       "line 1: *DOWNLOAD directive must be followed by address, length, and optional filename"},
  });
}

TEST_F(ScriptError, DownloadFiles) {
  EXPECT_EQ(
      ErrorOf("*restart\n*download 0x1000 16 missing.bin\n"),
      Expected("line 2: Cannot open \"" + files_.Folder() + kPathSeparator + "missing.bin\""));
  files_.Write("big.bin", std::string(17, '\x01'));
  EXPECT_EQ(ErrorOf("#\n#\n*download 0x1000 16 big.bin\nS30900001000010203049A\n"),
            Expected("line 3: Binary file \"" + files_.Folder() + kPathSeparator +
                     "big.bin\" is too large for download area"));
  files_.Write("fits.bin", std::string(16, '\x01'));
  EXPECT_EQ(ErrorOf("*download 0x1000 16 fits.bin\n"), "");
}

TEST_F(ScriptError, DownloadRecordsNameTheRecordsOwnLine) {
  Check({
      // Without skipped lines the record's line is the directive's plus its index in the group.
      {"*download 0x1000 16\nS30900001000010203049A\nS3090000100001G203049A\n",
       "line 3: Invalid character in S-record"},
      // A comment and a blank line between the directive and the bad record: its own line.
      {"*download 0x1000 16\n# first record\n\nS3090000100001G203049A\n",
       "line 4: Invalid character in S-record"},
      {"*download 0x1000 16\n#\nS30900001000010203049A\n#\n#\nS30A00001000010203\n",
       "line 6: Invalid character in S-record"},
      {"*download 0x1000 16\nS30400001000FF\n", "line 2: Invalid character in S-record"},
      {"*download 0x1000 16\n\nS30900001000010203049A\n  S3090000100D010203049A\n",
       "line 4: Trying to add too much data to section"},
      {"*download 0x1000 16\nS30900000FFF010203049A\n",
       "line 2: Trying to add too much data to section"},
  });
  // The record ending exactly at base plus length reads.
  EXPECT_EQ(ErrorOf("*download 0x1000 16\nS3090000100C010203049A\n"), "");
}

TEST_F(ScriptError, LongLinesCountAsTheReaderReadsThem) {
  // The 300-character comment on line 2 is read as lines 2 and 3, and the rest of it joins the
  // *download group as a data line; the bad record stands on line 5.
  const std::string content =
      "*download 0 16\n#" + std::string(299, 'x') + "\n#\nS3090000000001G203049A\n";
  EXPECT_EQ(ErrorOf(content), Expected("line 5: Invalid character in S-record"));
}

TEST_F(ScriptError, LoadAndSaveEnv) {
  Check({
      {"*LoadEnv 0x00F00000\n",
       "line 1: *LoadEnv directive must be followed by address and length"},
      {"*LoadEnv 0x00F00000 0x1000 7\n",
       "line 1: *LoadEnv directive must be followed by address and length"},
      {"*restart\n*SAVEENV\n", "line 2: *SAVEENV directive must be followed by address and length"},
      {"*loadenv 0x00F00000 4k\n", "line 1: Invalid numeric constant"},
      {"*saveenv 0x00FG0000 0x1000\n", "line 1: Invalid numeric constant"},
      {"*saveEnv 0x00F00000 0x1000\n#\nS30900001000010203049A\n",
       "line 3: Extraneous line(s) following *saveEnv directive"},
      // No room for the CRC: such a block could only ever be written as zeros.
      {"*restart\n*saveenv 0x00F00000 3\n",
       "line 2: *saveenv directive's block of 3 bytes cannot hold its 4-byte CRC"},
      {"*SaveEnv 0x00F00000 0x2\n",
       "line 1: *SaveEnv directive's block of 2 bytes cannot hold its 4-byte CRC"},
      {"*LOADENV 0x00F00000 1\n",
       "line 1: *LOADENV directive's block of 1 byte cannot hold its 4-byte CRC"},
      // The directive line's error comes first, as with a bad number.
      {"*saveenv 0x00F00000 3\nstray\n",
       "line 1: *saveenv directive's block of 3 bytes cannot hold its 4-byte CRC"},
  });
  // Length 0 is refused when run, not when read; four bytes hold a CRC and no entry.
  EXPECT_EQ(ErrorOf("*loadenv 0x00F00000 0\n"), "");
  EXPECT_EQ(ErrorOf("*saveenv 0x00F00000 4\n"), "");
}

TEST_F(ScriptError, SetEnv) {
  Check({
      {"*setenv\n", "line 1: *SETENV directive must be followed by variable name"},
      {"*SetEnv a b c\n", "line 1: *SETENV directive has too many parameters"},
      {"*setenv name \"value\" more\n", "line 1: *SETENV directive has too many parameters"},
      {"*setenv \"ip=addr\" 1\n", "line 1: *SETENV variable name cannot contain an equals sign"},
      {"*setenv a b\n\n\nstray\n", "line 4: Extraneous line(s) following *SETENV directive"},
  });
}

TEST_F(ScriptError, EditEnv) {
  Check({
      {"*EditEnv a b\nS30900001000010203049A\n",
       "line 2: Extraneous line(s) following *EditEnv directive"},
  });
}

TEST_F(ScriptError, Restart) {
  Check({
      {"*restart now\n", "line 1: Extraneous character(s) following *RESTART directive"},
      {"#1\n#2\n#3\n*script 1 2 x\n*section a\n#6\n*restart\nstray\n",
       "line 8: Extraneous line(s) following *RESTART directive"},
      {"*Restart\n# comment\nstray\n", "line 3: Extraneous line(s) following *RESTART directive"},
  });
}

TEST_F(ScriptError, ReadingStopsAtTheFirstError) {
  EXPECT_EQ(ErrorOf("*restart x\n*section\n"),
            Expected("line 1: Extraneous character(s) following *RESTART directive"));
}

TEST_F(ScriptError, FileNameIsQuotedAsGiven) {
  const std::string message = ErrorOf("*section\n", "name with spaces.QOR");
  EXPECT_EQ(message, "Error in \"" + files_.Folder() +
                         "/name with spaces.QOR\", line 1: *SECTION directive must be followed "
                         "by description");
  // A path far longer than any message buffer is never cut short.
  std::string deep;
  for (int i = 0; i < 6; ++i) deep += std::string(200, static_cast<char>('a' + i)) + "/";
  std::filesystem::create_directories(files_.Folder() + "/" + deep);
  const std::string longPath = files_.Folder() + "/" + deep + "script.qor";
  EXPECT_EQ(
      ErrorOf("*section\n", deep + "script.qor"),
      "Error in \"" + longPath + "\", line 1: *SECTION directive must be followed by description");
}

}  // namespace
}  // namespace qor
