#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

// Upper-case forms are compared, as the Windows file system does: "_" after the letters.
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
  EXPECT_EQ(ListScriptFiles(files.Folder() + "/").size(), 7u);
}

TEST(FilesTest, NamesThatDifferOnlyInCaseKeepAStableOrder) {
  test::TempFiles files;
  files.Write("a.qor", "");
  files.Write("A.qor", "");
  EXPECT_EQ(ListScriptFiles(files.Folder()), (std::vector<std::string>{"A.qor", "a.qor"}));
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
  EXPECT_NE(folder->back(), '/');
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(*folder, self.parent_path().string());
}

}  // namespace
}  // namespace qor
