#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/DurableFile.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "tests/common/RunProgram.h"
#include "tests/common/TempFiles.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/WideText.h"
#endif

namespace qor {
namespace {

// Upper-case forms are compared, as the Windows file system does: "_" after the letters. On
// Windows the order is the file system's own; the short name "X~1.QOR" of "x.qorx" matches the
// pattern there, but only names ending in ".qor" are listed.
TEST(FilesTest, ListsQorFilesOfAnyCaseSortedWithoutRegardToCase) {
  test::TempFiles files;
  for (const char* name :
       {"b.qor", "A.QOR", "c.Qor", "notes.txt", "x.qorx", "qor", "Z.qor", "a2.qor", "_x.qor"}) {
    files.Write(name, "");
  }
  std::filesystem::create_directory(files.Folder() + "/dir.qor");
  EXPECT_EQ(ListScriptFiles(files.Folder()),
            (std::vector<std::string>{"A.QOR", "a2.qor", "b.qor", "c.Qor", "dir.qor", "Z.qor",
                                      "_x.qor"}));
  // A trailing separator changes nothing.
  EXPECT_EQ(ListScriptFiles(files.Folder() + kPathSeparator).size(), 7u);
}

TEST(FilesTest, NamesThatDifferOnlyInCaseKeepAStableOrder) {
#ifdef _WIN32
  GTEST_SKIP() << "the Windows file system does not tell such names apart";
#endif
  test::TempFiles files;
  files.Write("a.qor", "");
  files.Write("A.qor", "");
  EXPECT_EQ(ListScriptFiles(files.Folder()), (std::vector<std::string>{"A.qor", "a.qor"}));
}

TEST(FilesTest, ListsFilesOfAnyOtherExtensionAlike) {
  test::TempFiles files;
  for (const char* name : {"release.pub", "OLD.PUB", "release.pub.minisig", "pub", "x.qor"}) {
    files.Write(name, "");
  }
  EXPECT_EQ(ListFilesWithExtension(files.Folder(), ".pub"),
            (std::vector<std::string>{"OLD.PUB", "release.pub"}));
  EXPECT_EQ(ListFilesWithExtension(files.Folder(), ".qor"), ListScriptFiles(files.Folder()));
}

TEST(FilesTest, LastPathComponentIsWhatFollowsTheLastSeparator) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"x.QOR", "x.QOR"},
      {std::string("scripts") + kPathSeparator + "x.QOR", "x.QOR"},
      {std::string(1, kPathSeparator) + "a" + kPathSeparator + "b" + kPathSeparator + "x.QOR",
       "x.QOR"},
      {std::string("scripts") + kPathSeparator, ""},
#ifdef _WIN32
      {"C:\\scripts/x.QOR", "x.QOR"},  // both separators count on Windows
#endif
  };
  for (const auto& [path, last] : rows) EXPECT_EQ(LastPathComponent(path), last) << path;
}

TEST(FilesTest, MissingFolderListsNothing) {
  EXPECT_TRUE(ListScriptFiles("/nonexistent/qor/folder").empty());
}

TEST(FilesTest, TellsFoldersFromFiles) {
  test::TempFiles files;
  const std::string file = files.Write("f.qor", "x");
  EXPECT_TRUE(IsDirectory(files.Folder()));
  EXPECT_FALSE(IsDirectory(file));
  EXPECT_FALSE(IsDirectory(files.Folder() + "/missing"));
}

TEST(FilesTest, ExecutableDirectoryHoldsThisProgram) {
  const auto folder = ExecutableDirectory();
  ASSERT_TRUE(folder.has_value());
  ASSERT_FALSE(folder->empty());
  EXPECT_NE(folder->back(), kPathSeparator);
#ifdef _WIN32
  EXPECT_TRUE(std::filesystem::exists(*folder + "\\platform_tests.exe")) << *folder;
#else
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(*folder, self.parent_path().string());
#endif
}

// A folder whose path is longer than the 260 characters Windows allows a plain path.
class LongFolder {
 public:
  explicit LongFolder(const test::TempFiles& files) : path_(files.Folder()) {
    while (path_.size() <= 300) {
      path_ += kPathSeparator + std::string(40, 'd');
      MakeFolder(path_);
    }
  }
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  static void MakeFolder(const std::string& path) {
#ifdef _WIN32
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + WidenText(path)).c_str(), nullptr)) << path;
#else
    ASSERT_TRUE(std::filesystem::create_directory(path)) << path;
#endif
  }
  std::string path_;
};

TEST(FilesTest, PathsLongerThan260CharactersWorkInFull) {
  test::TempFiles files;
  const LongFolder folder(files);
  const std::string script = folder.Path() + kPathSeparator + "deep.qor";
  std::FILE* out = OpenFile(script, "wb");
  ASSERT_NE(out, nullptr) << script;
  std::fputs("*restart\n", out);
  std::fclose(out);

  EXPECT_EQ(ListScriptFiles(folder.Path()), std::vector<std::string>{"deep.qor"});
  EXPECT_TRUE(IsDirectory(folder.Path()));
  EXPECT_FALSE(IsDirectory(script));
  std::FILE* in = OpenFile(script, "rb");
  ASSERT_NE(in, nullptr);
  char text[16] = {};
  EXPECT_EQ(std::fread(text, 1, sizeof text, in), 9u);
  std::fclose(in);
  EXPECT_STREQ(text, "*restart\n");
}

// A program in such a folder learns the whole of its folder: the start-up buffer grows.
TEST(FilesTest, ExecutableDirectoryOfAProgramInALongFolderIsWhole) {
#ifdef _WIN32
  // Windows starts no program from there unless long paths are enabled for the whole system;
  // the buffer grows on every start all the same (ExecutableDirectoryHoldsThisProgram).
  GTEST_SKIP() << "Windows starts no program whose path is that long";
#endif
  test::TempFiles files;
  const LongFolder folder(files);
  const std::string copy = folder.Path() + kPathSeparator + "print-executable-directory.exe";
  std::filesystem::copy_file(PRINT_EXECUTABLE_DIRECTORY, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  const test::ProgramRun run = test::RunProgram(copy, {});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, folder.Path() + "\n");
}

// Lines appended stay byte for byte (no CR added on Windows), one writer at a time, and a torn
// tail can be cut off.
TEST(FilesTest, ADurableFileAppendsWholeLinesForOneWriterAtATime) {
  test::TempFiles files;
  const std::string path = files.Folder() + "/record.jsonl";
  const auto contents = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  {
    DurableFile file(path);
    EXPECT_EQ(file.Size(), 0u);
    file.Append("{\"a\":1}\n");
    file.Append("{\"b\":2}\n");
    EXPECT_EQ(contents(), "{\"a\":1}\n{\"b\":2}\n");
    try {
      DurableFile second(path);
      ADD_FAILURE() << "a second writer was let in";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), "\"" + path + "\" is being written by another program");
    }
  }
  DurableFile again(path);
  EXPECT_EQ(again.Size(), 16u);
  again.Append("{\"c\":");  // as a power cut might leave it
  again.CutTo(16);
  again.Append("{\"c\":3}\r\n");
  EXPECT_EQ(contents(), "{\"a\":1}\n{\"b\":2}\n{\"c\":3}\r\n");
  EXPECT_EQ(again.Size(), contents().size());

  const std::string nowhere = files.Folder() + "/absent/record.jsonl";
  try {
    DurableFile missing(nowhere);
    ADD_FAILURE() << "opened a file in a folder that does not exist";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message().rfind("Cannot open \"" + nowhere + "\" to append to it: ", 0), 0u)
        << error.Message();
  }
}

}  // namespace
}  // namespace qor
