#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "platform/Exception.h"
#include "tests/common/SignedFixtures.h"
#include "tests/common/TempFiles.h"
#include "trust/ReadScript.h"

namespace qor {
namespace {

namespace fs = std::filesystem;

// One way of putting a signed script together, and what reading it with the fixture's key says.
struct Case {
  const char* name;
  std::function<void(const std::string& folder)> make;
  const char* error;  // empty: it reads
};

void Append(const std::string& path, const std::string& bytes) {
  std::ofstream(fs::path(path), std::ios::binary | std::ios::app) << bytes;
}

void Overwrite(const std::string& path, const std::string& bytes) {
  std::ofstream(fs::path(path), std::ios::binary | std::ios::trunc) << bytes;
}

// Line number at (from 0) of the fixture's signature of file.
std::string SignatureLine(const std::string& file, size_t at) {
  std::string text = test::SignedFixtureText(file + ".minisig");
  size_t start = 0;
  for (size_t i = 0; i < at; ++i) start = text.find('\n', start) + 1;
  return text.substr(start, text.find('\n', start) - start);
}

// The fixture's signature of file with its line number at replaced.
std::string SignatureWithLine(const std::string& file, size_t at, const std::string& line) {
  std::string text = test::SignedFixtureText(file + ".minisig");
  size_t start = 0;
  for (size_t i = 0; i < at; ++i) start = text.find('\n', start) + 1;
  return text.replace(start, text.find('\n', start) - start, line);
}

// The signed script and image, then change applied in their folder.
Case Signed(const char* name, std::function<void(const std::string&)> change, const char* error) {
  return {name,
          [change](const std::string& folder) {
            test::CopySignedScript(folder);
            change(folder);
          },
          error};
}

std::vector<Case> Cases() {
  const auto in = [](const std::string& folder, const char* name) { return folder + "/" + name; };
  const auto use = [](const char* fixture, const char* as) {
    return
        [fixture, as](const std::string& folder) { test::CopySignedFixture(folder, fixture, as); };
  };
  const auto remove = [in](const char* name) {
    return [in, name](const std::string& folder) { fs::remove(fs::path(in(folder, name))); };
  };
  const auto write = [in](const char* name, std::string bytes) {
    return [in, name, bytes](const std::string& folder) { Overwrite(in(folder, name), bytes); };
  };
  const auto append = [in](const char* name, std::string bytes) {
    return [in, name, bytes](const std::string& folder) { Append(in(folder, name), bytes); };
  };
  const auto nothing = [](const std::string&) {};
  return {
      Signed("good", nothing, ""),
      Signed("script changed", append("x.QOR", "# one more line\n"),
             "Script x.QOR has a bad signature"),
      // The signature is the first concern, before what the change broke.
      Signed("script changed so that it no longer reads", append("x.QOR", "*download 0 1 gone\n"),
             "Script x.QOR has a bad signature"),
      Signed("image changed", write("fw.bin", "\x01\x02\x03\x04\x05\x06\x07\x09"),
             "Image fw.bin of x.QOR has a bad signature"),
      Signed("image grown", append("fw.bin", std::string(1, '\0')),
             "Image fw.bin of x.QOR has a bad signature"),
      Signed("script signed by an untrusted key", use("x.QOR.other", "x.QOR.minisig"),
             "Script x.QOR is not signed by a trusted key"),
      Signed("image signed by an untrusted key", use("fw.bin.other", "fw.bin.minisig"),
             "Image fw.bin of x.QOR is not signed by a trusted key"),
      Signed("script without a signature", remove("x.QOR.minisig"), "Script x.QOR is not signed"),
      // Refused before its image is looked for.
      Signed(
          "script without a signature or its image",
          [remove](const std::string& folder) {
            remove("x.QOR.minisig")(folder);
            remove("fw.bin")(folder);
          },
          "Script x.QOR is not signed"),
      Signed("image without a signature", remove("fw.bin.minisig"),
             "Image fw.bin of x.QOR is not signed"),
      Signed("script signature truncated",
             write("x.QOR.minisig", test::SignedFixtureText("x.QOR.minisig").substr(0, 120)),
             "Script x.QOR has a malformed signature"),
      Signed("image signature of garbage", write("fw.bin.minisig", "ELF\x7f\x02\x01\x01 garbage"),
             "Image fw.bin of x.QOR has a malformed signature"),
      Signed("image signature empty", write("fw.bin.minisig", ""),
             "Image fw.bin of x.QOR has a malformed signature"),
      Signed("script signed in the legacy format", use("x.QOR.legacy", "x.QOR.minisig"),
             "Script x.QOR has a legacy signature"),
      Signed("image signed in the legacy format", use("fw.bin.legacy", "fw.bin.minisig"),
             "Image fw.bin of x.QOR has a legacy signature"),
      Signed("script's trusted comment edited",
             write("x.QOR.minisig", SignatureWithLine("x.QOR", 2, "trusted comment: QOR release")),
             "Script x.QOR has a bad signature"),
      Signed("image's trusted comment edited",
             write("fw.bin.minisig", SignatureWithLine("fw.bin", 2, "trusted comment: anything")),
             "Image fw.bin of x.QOR has a bad signature"),
      Signed("image's global signature taken from the script's",
             write("fw.bin.minisig", SignatureWithLine("fw.bin", 3, SignatureLine("x.QOR", 3))),
             "Image fw.bin of x.QOR has a bad signature"),
      Signed("the script's signature beside the image", use("x.QOR.minisig", "fw.bin.minisig"),
             "Image fw.bin of x.QOR has a bad signature"),
  };
}

std::string ErrorOf(const std::function<void()>& read) {
  try {
    read();
  } catch (const Exception& error) {
    return error.Message();
  }
  return "";
}

TEST(ReadScript, WithATrustedKeyReadsOnlyWhatItSigned) {
  const TrustedKeys keys = test::SignedFixtureKeys();
  for (const Case& c : Cases()) {
    test::TempFiles folder;
    c.make(folder.Folder());
    const std::string path = folder.Folder() + "/x.QOR";
    SignedScript read;
    EXPECT_EQ(ErrorOf([&] { read = ReadScript(path, DirectiveRegistry(), keys); }), c.error)
        << c.name;
    if (std::string(c.error).empty()) {
      ASSERT_TRUE(read.script) << c.name;
      EXPECT_EQ(read.script->DirectiveCount(), 3) << c.name;
      ASSERT_TRUE(read.signature) << c.name;
      EXPECT_EQ(KeyIdText(read.signature->keyId), test::SignedFixtureKeyId());
      EXPECT_EQ(read.signature->trustedComment, "QOR test signature");
    } else {
      EXPECT_FALSE(read.script) << c.name;
    }
  }
}

TEST(ReadScript, WithoutTrustedKeysReadsAsBeforeWhateverTheSignatures) {
  const TrustedKeys none;
  for (const Case& c : Cases()) {
    test::TempFiles folder;
    c.make(folder.Folder());
    const std::string path = folder.Folder() + "/x.QOR";
    // As the reader without signatures says, whatever it says.
    const std::string plain = ErrorOf([&] { Script script(path, DirectiveRegistry()); });
    SignedScript read;
    EXPECT_EQ(ErrorOf([&] { read = ReadScript(path, DirectiveRegistry(), none); }), plain)
        << c.name;
    EXPECT_FALSE(read.signature) << c.name;
    if (plain.empty()) {
      ASSERT_TRUE(read.script) << c.name;
      EXPECT_TRUE(read.script->FileDigest().empty()) << "nothing hashed without keys";
    }
  }
}

TEST(ReadScript, ErrorsOfASignedScriptAreTheReadersOwn) {
  const TrustedKeys keys = test::SignedFixtureKeys();
  test::TempFiles folder;
  test::CopySignedScript(folder.Folder());
  // The image is gone: the signed script does not read, and says why as it always did.
  fs::remove(fs::path(folder.Folder()) / "fw.bin");
  const std::string path = folder.Folder() + "/x.QOR";
  const std::string plain = ErrorOf([&] { Script script(path, DirectiveRegistry()); });
  EXPECT_NE(plain.find("Cannot open"), std::string::npos) << plain;
  EXPECT_EQ(ErrorOf([&] { (void)ReadScript(path, DirectiveRegistry(), keys); }), plain);
  // So does a script that is not there.
  const std::string missing = folder.Folder() + "/missing.QOR";
  EXPECT_EQ(ErrorOf([&] { (void)ReadScript(missing, DirectiveRegistry(), keys); }),
            "Cannot open \"" + missing + "\"");
}

}  // namespace
}  // namespace qor
