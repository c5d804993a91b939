#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "exec/Context.h"
#include "exec/DirectiveRegistry.h"
#include "exec/DownloadDirective.h"
#include "exec/EditEnvDirective.h"
#include "exec/LoadSaveEnvDirective.h"
#include "exec/RestartDirective.h"
#include "exec/SetEnvDirective.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "script/ByteDigest.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"
#include "script/SectionDirective.h"
#include "tests/common/FakeDatagramSocket.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
const T& As(const Script& script, int32_t index) {
  const Directive& directive = script.DirectiveAt(index);
  const auto* typed = dynamic_cast<const T*>(&directive);
  if (typed == nullptr) throw std::runtime_error("directive of another class");
  return *typed;
}

Bytes Image(const Script& script, int32_t index) {
  const DataSection& section = As<DownloadDirective>(script, index).Section();
  return section.Length() == 0 ? Bytes()
                               : section.ExtractBlock(section.Base(), section.Length()).bytes;
}

std::string ErrorOf(const std::string& path) {
  try {
    Script script(path, DirectiveRegistry());
  } catch (const Exception& error) {
    return error.Message();
  }
  return "";
}

TEST(Script, EmptyAndCommentOnlyFilesHoldNothing) {
  test::TempFiles files;
  for (const std::string& content :
       {std::string(), std::string("\n\n   \n\t\f\v\r\n"),
        std::string("# a comment\n  # indented\n\n"), std::string(1, '\0') + "\n"}) {
    Script script(files.Write("empty.qor", content), DirectiveRegistry());
    EXPECT_TRUE(script.ProductEntries().empty());
    EXPECT_TRUE(script.ScriptTargets().empty());
    EXPECT_EQ(script.DirectiveCount(), 0);
  }
}

TEST(Script, FilesHeaderEntriesAndKeepsDirectivesInOrder) {
  test::TempFiles files;
  const std::string path = files.Write("update.qor",
                                       "# header\n"
                                       "*product 0x1234 0x0001 \"Demo Board\"\n"
                                       "*PRODUCT 0x1234 2 Other\n"
                                       "*product 0x1234 0x0001 \"Demo Board rev B\"\n"
                                       "  *Script 0x1234 0x0001 \"Update firmware\"\n"
                                       "*script 0x11234 -1 \"\"\n"
                                       "*section \"Boot loader\"\n"
                                       "*unknown words \"are ignored\"\n"
                                       "S30900001000010203049A\n"
                                       "\t*RESTART\n");
  Script script(path, DirectiveRegistry());
  EXPECT_EQ(script.FileName(), path);
  const std::map<ProductKey, std::string> products{{{0x1234, 1}, "Demo Board rev B"},
                                                   {{0x1234, 2}, "Other"}};
  EXPECT_EQ(script.ProductEntries(), products);
  EXPECT_EQ(script.ScriptTargets(), (std::vector<ProductKey>{{0x1234, 0x0001}, {0x1234, 0xFFFF}}));
  EXPECT_EQ(script.ScriptDescription({0x1234, 1}), "Update firmware");
  EXPECT_EQ(script.ScriptDescription({0x1234, 0xFFFF}), "");
  EXPECT_EQ(script.ScriptDescription({0x1234, 2}), "");  // a product entry is no script entry

  ASSERT_EQ(script.DirectiveCount(), 2);
  EXPECT_EQ(script.DirectiveAt(0).Kind(), kSectionDirective);
  EXPECT_EQ(As<SectionDirective>(script, 0).Description(), "Boot loader");
  EXPECT_EQ(script.DirectiveAt(1).Kind(), kRestartDirective);
  EXPECT_NO_THROW((void)As<RestartDirective>(script, 1));

  for (const int32_t bad : {-1, 2, INT32_MIN, INT32_MAX}) {
    try {
      (void)script.DirectiveAt(bad);
      ADD_FAILURE() << bad;
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), "Requesting out-of-range directive from script");
    }
  }
}

TEST(Script, ReadsEveryDirectiveKindWithItsData) {
  test::TempFiles files;
  Script script(files.Write("all.qor",
                            "*section \"\"\n"
                            "*download 0x2000 8\n"
                            "*LoadEnv 0x00F00000 0x1000\n"
                            "*setenv bootdelay 3\n"
                            "*setenv obsolete\n"
                            "*setenv args \"\"\n"
                            "*SetEnv bootargs \"console=ttyS0 quiet\"\n"
                            "*editenv\n"
                            "*editenv ipaddr \"two words\" 3\n"
                            "*saveenv -0x80000000 -1\n"
                            "*restart\n"),
                DirectiveRegistry());
  ASSERT_EQ(script.DirectiveCount(), 11);
  const std::vector<int32_t> kinds{kSectionDirective, kDownloadDirective, kLoadEnvDirective,
                                   kSetEnvDirective,  kSetEnvDirective,   kSetEnvDirective,
                                   kSetEnvDirective,  kEditEnvDirective,  kEditEnvDirective,
                                   kSaveEnvDirective, kRestartDirective};
  for (int32_t i = 0; i < script.DirectiveCount(); ++i) {
    EXPECT_EQ(script.DirectiveAt(i).Kind(), kinds[static_cast<size_t>(i)]) << i;
  }
  EXPECT_EQ(As<SectionDirective>(script, 0).Description(), "");
  EXPECT_EQ(As<DownloadDirective>(script, 1).Section().Base(), 0x2000u);
  EXPECT_EQ(Image(script, 1), Bytes(8, 0xFF));

  const auto& load = As<LoadSaveEnvDirective>(script, 2);
  EXPECT_TRUE(load.IsLoad());
  EXPECT_EQ(load.Address(), 0x00F00000u);
  EXPECT_EQ(load.Length(), 0x1000u);

  EXPECT_EQ(As<SetEnvDirective>(script, 3).Name(), "bootdelay");
  EXPECT_EQ(As<SetEnvDirective>(script, 3).Value(), "3");
  EXPECT_EQ(As<SetEnvDirective>(script, 4).Name(), "obsolete");
  EXPECT_EQ(As<SetEnvDirective>(script, 4).Value(), "");
  EXPECT_EQ(As<SetEnvDirective>(script, 5).Value(), "");
  EXPECT_EQ(As<SetEnvDirective>(script, 6).Value(), "console=ttyS0 quiet");

  EXPECT_TRUE(As<EditEnvDirective>(script, 7).Words().empty());
  EXPECT_EQ(As<EditEnvDirective>(script, 8).Words(),
            (std::vector<std::string>{"ipaddr", "two words", "3"}));

  const auto& save = As<LoadSaveEnvDirective>(script, 9);
  EXPECT_FALSE(save.IsLoad());
  EXPECT_EQ(save.Address(), 0x80000000u);
  EXPECT_EQ(save.Length(), 0xFFFFFFFFu);
}

TEST(Script, LineEndsAreLfCrLfOrBoth) {
  test::TempFiles files;
  for (const std::string end : {"\n", "\r\n"}) {
    Script script(
        files.Write("ends.qor", "*section one" + end + "*section two" + end + "*restart" + end),
        DirectiveRegistry());
    ASSERT_EQ(script.DirectiveCount(), 3) << end.size();
    EXPECT_EQ(As<SectionDirective>(script, 1).Description(), "two");
  }
  // A lone CR ends no line: it is a blank inside one line, which then has too many words.
  EXPECT_EQ(ErrorOf(files.Write("cr.qor", "*section a\r*restart\r")),
            "Error in \"" + files.Folder() +
                "/cr.qor\", line 1: "
                "*SECTION directive must be followed by description");
}

TEST(Script, DownloadAssemblesFileThenRecords) {
  test::TempFiles files;
  files.Write("image.bin", std::string("\x10\x11\x12\x13\x14\x15", 6));
  Script script(files.Write("dl.qor",
                            "*download 0x1000 10 image.bin\n"
                            "S30900001002AABBCCDD00\n"
                            "# a comment between records\n"
                            "S1130000285F245F2212226A000424290008237C2A\n"
                            "S30600001003EE00\n"
                            "S9030000FC\n"
                            "some other text\n"
                            "*download 0x1000 0\n"),
                DirectiveRegistry());
  ASSERT_EQ(script.DirectiveCount(), 2);
  EXPECT_EQ(Image(script, 0), (Bytes{0x10, 0x11, 0xAA, 0xEE, 0xCC, 0xDD, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(As<DownloadDirective>(script, 1).Section().Length(), 0u);
  EXPECT_EQ(As<DownloadDirective>(script, 1).Section().StoredBytes(), 0u);
}

TEST(Script, DownloadFindsItsFileBesideTheScript) {
  test::TempFiles files;
  std::filesystem::create_directories(files.Folder() + "/sub");
  files.Write("sub/fw.bin", "\x01\x02");
  Script nested(files.Write("nested.qor", "*download 0 4 sub/fw.bin\n"), DirectiveRegistry());
  EXPECT_EQ(Image(nested, 0), (Bytes{1, 2, 0xFF, 0xFF}));

  // A script named without a folder finds its image in the current directory.
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(files.Folder() + "/sub");
  files.Write("sub/plain.qor", "*download 0 3 fw.bin\n");
  std::string error;
  try {
    Script plain("plain.qor", DirectiveRegistry());
    EXPECT_EQ(Image(plain, 0), (Bytes{1, 2, 0xFF}));
  } catch (const Exception& e) {
    error = e.Message();
  }
  std::filesystem::current_path(before);
  EXPECT_EQ(error, "");
}

TEST(Script, DownloadJoinsEvenAFullPathToTheScriptFolder) {
  test::TempFiles files;
  const std::string image = files.Write("abs.bin", "\x01");
  const std::string path = files.Write("abs.qor", "*download 0 4 " + image + "\n");
  EXPECT_EQ(ErrorOf(path), "Error in \"" + path + "\", line 1: Cannot open \"" + files.Folder() +
                               kPathSeparator + image + "\"");
}

// A group of records several times the reader's block, with CR LF line ends and a comment long
// enough to be read as two lines: every record lands, and an error far down names its line.
TEST(Script, ReadsGroupsLargerThanAReadBlockRecordByRecord) {
  test::TempFiles files;
  constexpr uint32_t kBase = 0x100000;
  constexpr int kRecords = 60000;  // 48 bytes each: almost 3 MB
  Bytes expected(kRecords * 16);
  std::string text = "*download 0x100000 " + std::to_string(expected.size()) + "\r\n";
  int lineNumber = 1;
  int lastRecordLine = 0;
  for (int i = 0; i < kRecords; ++i) {
    if (i % 20000 == 7) {
      text += "#" + std::string(299, 'x') + "\r\n";  // two lines: 255 characters, then 45
      lineNumber += 2;
    }
    char record[64];
    std::snprintf(record, sizeof record, "S315%08X", kBase + i * 16);
    std::string line = record;
    for (int b = 0; b < 16; ++b) {
      const auto value = static_cast<uint8_t>(i * 3 + b);
      expected[static_cast<size_t>(i) * 16 + static_cast<size_t>(b)] = value;
      std::snprintf(record, sizeof record, "%02x", value);
      line += record;
    }
    text += line + "00\r\n";
    lastRecordLine = ++lineNumber;
  }
  Script script(files.Write("big.qor", text + "*restart\r\n"), DirectiveRegistry());
  ASSERT_EQ(script.DirectiveCount(), 2);
  EXPECT_EQ(Image(script, 0), expected);

  // The last record, with a bad digit in its last data byte.
  std::string bad = text;
  bad[bad.size() - 5] = 'G';
  const std::string path = files.Write("bad.qor", bad);
  EXPECT_EQ(ErrorOf(path), "Error in \"" + path + "\", line " + std::to_string(lastRecordLine) +
                               ": Invalid character in S-record");
}

// Hands back every byte it was given as its digest, so a test sees exactly what was hashed.
class EchoDigest final : public ByteDigest {
 public:
  void Update(std::span<const uint8_t> bytes) override {
    seen_.insert(seen_.end(), bytes.begin(), bytes.end());
  }
  std::vector<uint8_t> Finish() override { return seen_; }
  static std::unique_ptr<ByteDigest> Make() { return std::make_unique<EchoDigest>(); }

 private:
  Bytes seen_;
};

// A signature is checked against the digest taken as the file was read, so that digest must
// cover every byte of the script (comments, line ends, NULs, past the first read block) and
// exactly the bytes an image was loaded from, and nothing more.
TEST(Script, DigestsSeeEveryByteReadOnceAndOnlyWhenAskedFor) {
  test::TempFiles files;
  std::string image(200 * 1024, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + i / 251);
  files.Write("fw.bin", image);
  std::string text = "# a comment\r\n*product 1 2 \"Board\"\n*download 0 0x40000 fw.bin\r\n";
  text += std::string(1, '\0') + " after a NUL\n#" + std::string(400, 'x') + "\n";
  while (text.size() < 3 * 1024 * 1024) text += "S30900001000010203049A\r\n";
  text += "*section \"no file\"\n*restart";  // no line end at the very end
  const std::string path = files.Write("dl.qor", text);

  const Script hashed(path, DirectiveRegistry(), nullptr, &EchoDigest::Make);
  EXPECT_EQ(hashed.FileDigest(), Bytes(text.begin(), text.end()));
  ASSERT_EQ(hashed.DirectiveCount(), 3);
  const std::vector<InputFile> files0 = hashed.DirectiveAt(0).InputFiles();
  ASSERT_EQ(files0.size(), 1u);
  EXPECT_EQ(files0[0].name, "fw.bin");
  EXPECT_EQ(files0[0].path, files.Folder() + kPathSeparator + "fw.bin");
  EXPECT_EQ(files0[0].digest, Bytes(image.begin(), image.end()));
  EXPECT_TRUE(hashed.DirectiveAt(1).InputFiles().empty());
  EXPECT_TRUE(hashed.DirectiveAt(2).InputFiles().empty());

  const Script plain(path, DirectiveRegistry());
  EXPECT_TRUE(plain.FileDigest().empty());
  EXPECT_EQ(plain.NewDigest(), nullptr);
  ASSERT_EQ(plain.DirectiveAt(0).InputFiles().size(), 1u);
  EXPECT_TRUE(plain.DirectiveAt(0).InputFiles()[0].digest.empty());
  EXPECT_EQ(Image(plain, 0), Image(hashed, 0));
}

TEST(Script, LongLinesAreReadIn255CharacterPieces) {
  test::TempFiles files;
  // A comment of 300 characters is read as a comment of 255 and a rest of 45 that stands as a
  // line of its own: here it joins the *section's group, as line 3.
  const std::string path = files.Write("long.qor", "*section \"" + std::string(200, 'd') + "\"\n#" +
                                                       std::string(299, 'x') + "\n*restart\n");
  EXPECT_EQ(ErrorOf(path),
            "Error in \"" + path + "\", line 3: Extraneous line(s) following *SECTION directive");

  // A line of exactly 255 characters leaves its line end as a piece of its own: one more line.
  const std::string exact =
      files.Write("exact.qor", "#" + std::string(254, 'c') + "\r\n*restart x\n");
  EXPECT_EQ(ErrorOf(exact), "Error in \"" + exact +
                                "\", line 3: Extraneous character(s) following *RESTART directive");
  const std::string shorter =
      files.Write("shorter.qor", "#" + std::string(253, 'c') + "\n*restart x\n");
  EXPECT_EQ(
      ErrorOf(shorter),
      "Error in \"" + shorter + "\", line 2: Extraneous character(s) following *RESTART directive");
}

TEST(Script, APieceEndsAtItsFirstNulByte) {
  test::TempFiles files;
  Script script(
      files.Write("nul-byte.qor", std::string("*section abc\0 ignored words\n*restart\n", 37)),
      DirectiveRegistry());
  ASSERT_EQ(script.DirectiveCount(), 2);
  EXPECT_EQ(As<SectionDirective>(script, 0).Description(), "abc");
}

class LinesDisplay final : public ScriptDisplay {
 public:
  std::vector<std::string> lines;
  void SetOperationText(const std::string& text) override { lines.push_back("operation:" + text); }
  void SetStatusText(const std::string& text) override { lines.push_back("status:" + text); }
};

TEST(Script, SectionShowsItsTitleAndFinishesAtOnce) {
  test::TempFiles files;
  Script script(files.Write("section.qor", "*section \"Boot loader\"\n*section \"\"\n"),
                DirectiveRegistry());
  auto socket = std::make_unique<test::FakeDatagramSocket>();
  const test::FakeDatagramSocket& sent = *socket;
  TargetNetwork network(std::move(socket));
  Target target;
  LinesDisplay display;
  std::unique_ptr<Context> context;
  script.DirectiveAt(0).Execute(context, network, target, display);
  EXPECT_EQ(context, nullptr);
  script.DirectiveAt(1).Execute(context, network, target, display);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(display.lines, (std::vector<std::string>{"operation:Boot loader",
                                                     "status:", "operation:", "status:"}));
  EXPECT_TRUE(sent.sent.empty());
}

TEST(Script, CannotOpen) {
  test::TempFiles files;
  const std::string missing = files.Folder() + "/missing.qor";
  EXPECT_EQ(ErrorOf(missing), "Cannot open \"" + missing + "\"");
  EXPECT_EQ(ErrorOf(files.Folder()), "Cannot open \"" + files.Folder() + "\"");
}

}  // namespace
}  // namespace qor
