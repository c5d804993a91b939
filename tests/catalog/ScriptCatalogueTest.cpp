#include <gtest/gtest.h>

#include <filesystem>

#include "catalog/ScriptCatalogue.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "tests/common/SignedFixtures.h"
#include "tests/common/TempFiles.h"
#include "trust/TrustedKeys.h"

namespace qor {
namespace {

const ProductKey kBoard{0x1234, 0x0001};
const ProductKey kOther{0x1234, 0x0002};

// File names of the scripts offered for key, in order.
std::vector<std::string> Offered(const ScriptCatalogue& catalogue, const ProductKey& key) {
  std::vector<std::string> names;
  for (const Script* script : catalogue.ScriptsForProduct(key)) {
    names.push_back(std::filesystem::path(script->FileName()).filename().string());
  }
  return names;
}

TEST(ScriptCatalogueTest, TheFileListedLaterNamesTheProduct) {
  test::TempFiles files;
  // Listed without regard to case: "a.qor" before "B.qor", although 'B' < 'a' in bytes.
  files.Write("B.qor", "*product 0x1234 1 \"Board from B\"\n");
  files.Write("a.qor", "*product 0x1234 1 \"Board from a\"\n*product 0x1234 2 Other\n");
  ScriptCatalogue catalogue;
  catalogue.ScanDirectory(files.Folder());
  EXPECT_EQ(catalogue.ProductName(kBoard), "Board from B");
  EXPECT_EQ(catalogue.ProductName(kOther), "Other");
  EXPECT_EQ(catalogue.ProductName(ProductKey{0x1234, 3}), "Unknown Product");
  // Product names only: offered for nothing.
  EXPECT_TRUE(catalogue.ScriptsForProduct(kBoard).empty());
}

TEST(ScriptCatalogueTest, ScriptsForOneProductAreOfferedInDirectoryOrder) {
  test::TempFiles files;
  files.Write("second.QOR", "*script 0x1234 1 \"Second\"\n*section \"Go\"\n");
  files.Write("First.qor", "*script 0x1234 1 \"First\"\n*script 0x1234 2 \"First, other\"\n");
  ScriptCatalogue catalogue;
  catalogue.ScanDirectory(files.Folder() + "/");
  EXPECT_EQ(Offered(catalogue, kBoard), (std::vector<std::string>{"First.qor", "second.QOR"}));
  // One script for two products, described for each.
  const auto other = catalogue.ScriptsForProduct(kOther);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0], catalogue.ScriptsForProduct(kBoard)[0]);
  EXPECT_EQ(other[0]->ScriptDescription(kOther), "First, other");
  EXPECT_EQ(other[0]->ScriptDescription(kBoard), "First");
  // Scripts without a product name: still offered, under "Unknown Product".
  EXPECT_EQ(catalogue.ProductName(kBoard), "Unknown Product");
  // The list handed out is a copy.
  auto copy = catalogue.ScriptsForProduct(kBoard);
  copy.clear();
  EXPECT_EQ(catalogue.ScriptsForProduct(kBoard).size(), 2u);
}

TEST(ScriptCatalogueTest, SeveralFoldersTheMoreImportantNamesAndReplacesFilesOfItsName) {
  test::TempFiles mine, everybody, program;
  mine.Write("update.qor", "*product 0x1234 1 \"My board\"\n*script 0x1234 1 \"My update\"\n");
  everybody.Write("update.qor", "*product 0x1234 1 \"Board\"\n*script 0x1234 1 \"Update\"\n");
  everybody.Write("reset.qor", "*product 0x1234 2 \"Other board\"\n*script 0x1234 1 \"Reset\"\n");
  program.Write("Reset.QOR", "*script 0x1234 1 \"Reset beside the program\"\n");
  program.Write("names.qor",
                "*product 0x1234 1 \"Board beside\"\n*product 0x1234 2 \"Other beside\"\n");
  ScriptCatalogue catalogue;
  catalogue.ScanDirectories(
      {mine.Folder(), "/nonexistent/qor/scripts", everybody.Folder(), program.Folder()});

  // A name found in a more important folder wins over the same product's name elsewhere.
  EXPECT_EQ(catalogue.ProductName(kBoard), "My board");
  EXPECT_EQ(catalogue.ProductName(kOther), "Other board");
  // update.qor is read from the first folder only; reset.qor and Reset.QOR are two files.
  std::vector<std::string> descriptions;
  for (const Script* script : catalogue.ScriptsForProduct(kBoard)) {
    descriptions.push_back(script->ScriptDescription(kBoard));
  }
  EXPECT_EQ(descriptions,
            (std::vector<std::string>{"Reset beside the program", "Reset", "My update"}));

  // One folder alone is the same as scanning that folder.
  ScriptCatalogue single;
  single.ScanDirectories({everybody.Folder()});
  EXPECT_EQ(Offered(single, kBoard), (std::vector<std::string>{"reset.qor", "update.qor"}));
  EXPECT_EQ(single.ProductName(kBoard), "Board");
}

TEST(ScriptCatalogueTest, BrokenFilesAndFoldersContributeNothing) {
  test::TempFiles files;
  // The *product line comes before the error: it must not count either.
  files.Write("broken.qor", "*product 0x1234 1 \"Broken\"\n*script 0x1234 1\n");
  files.Write("quote.qor", "*script 0x1234 1 \"Unbalanced\n");
  files.Write("good.qor", "*script 0x1234 2 \"Good\"\n");
  files.Write("readme.txt", "*product 0x1234 2 \"Not a script file\"\n");
  std::filesystem::create_directory(files.Folder() + "/folder.qor");
  ScriptCatalogue catalogue;
  catalogue.ScanDirectory(files.Folder());
  EXPECT_EQ(catalogue.ProductName(kBoard), "Unknown Product");
  EXPECT_TRUE(catalogue.ScriptsForProduct(kBoard).empty());
  EXPECT_EQ(Offered(catalogue, kOther), std::vector<std::string>{"good.qor"});
  EXPECT_EQ(catalogue.ProductName(kOther), "Unknown Product");
}

TEST(ScriptCatalogueTest, NothingToReadGivesAnEmptyCatalogue) {
  ScriptCatalogue catalogue;
  catalogue.ScanDirectory("/nonexistent/qor/folder");
  catalogue.AddScriptFile("/nonexistent/qor/folder/x.qor");
  test::TempFiles empty;
  catalogue.ScanDirectory(empty.Folder());
  EXPECT_EQ(catalogue.ProductName(kBoard), "Unknown Product");
  EXPECT_TRUE(catalogue.ScriptsForProduct(kBoard).empty());
}

TEST(ScriptCatalogueTest, AddScriptFileRegistersOneFileWhateverItsName) {
  test::TempFiles files;
  const std::string path =
      files.Write("board.txt", "*product 0x1234 1 Board\n*script 4660 1 Run\n");
  ScriptCatalogue catalogue;
  catalogue.AddScriptFile(path);
  EXPECT_EQ(catalogue.ProductName(kBoard), "Board");
  ASSERT_EQ(catalogue.ScriptsForProduct(kBoard).size(), 1u);
  EXPECT_EQ(catalogue.ScriptsForProduct(kBoard)[0]->FileName(), path);
}

// With a trusted key, a script that is not signed by it is left out like one that does not read:
// no product names, no menu entry. Without, both are taken as before.
TEST(ScriptCatalogueTest, WithTrustedKeysOnlySignedScriptsTakePart) {
  test::TempFiles files;
  test::CopySignedScript(files.Folder());  // x.QOR: "Signed Board", "Signed update"
  files.Write("unsigned.qor", "*product 0x1234 2 Other\n*script 0x1234 1 \"Unsigned\"\n");
  files.Write("tampered.qor", "*script 0x1234 1 \"Tampered\"\n");
  test::CopySignedFixture(files.Folder(), "x.QOR.minisig", "tampered.qor.minisig");

  const TrustedKeys keys = test::SignedFixtureKeys();
  ScriptCatalogue checked(keys);
  checked.ScanDirectory(files.Folder());
  EXPECT_EQ(Offered(checked, kBoard), (std::vector<std::string>{"x.QOR"}));
  EXPECT_EQ(checked.ProductName(kBoard), "Signed Board");
  EXPECT_EQ(checked.ProductName(kOther), "Unknown Product");
  // A file chosen by the operator is read the same way, and says why it is refused.
  std::string refused;
  try {
    (void)checked.ReadScriptFile(files.Folder() + "/unsigned.qor");
  } catch (const Exception& error) {
    refused = error.Message();
  }
  EXPECT_EQ(refused, "Script unsigned.qor is not signed");
  EXPECT_EQ(checked.ReadScriptFile(files.Folder() + "/x.QOR")->DirectiveCount(), 3);

  ScriptCatalogue unchecked;
  unchecked.ScanDirectory(files.Folder());
  EXPECT_EQ(Offered(unchecked, kBoard),
            (std::vector<std::string>{"tampered.qor", "unsigned.qor", "x.QOR"}));
  EXPECT_EQ(unchecked.ProductName(kOther), "Other");
}

}  // namespace
}  // namespace qor
