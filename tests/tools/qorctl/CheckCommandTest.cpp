#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/RunProgram.h"
#include "tests/common/TempFiles.h"
#include "tests/tools/qorctl/TrustingQorctl.h"

namespace qor {
namespace {

namespace fs = std::filesystem;

using Outcome = test::ProgramRun;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs qorctl with arguments in folder and collects its exit status and both streams.
Outcome RunQorctl(const std::vector<std::string>& arguments,
                  const std::string& folder = QOR_SOURCE_DIR,
                  test::ProgramOptions options = test::ProgramOptions()) {
  options = test::WithoutTrustedKeys(options);
  options.folder = folder;
  return test::RunProgram(QORCTL_PATH, arguments, options);
}

std::vector<std::string> Examples() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::path(QOR_SOURCE_DIR) / "examples")) {
    if (entry.path().extension() == ".QOR") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CheckCommand, EveryExampleMatchesItsGoldenJson) {
  const std::vector<std::string> examples = Examples();
  ASSERT_GE(examples.size(), 4u);
  std::string allExpected;
  std::vector<std::string> arguments{"check", "--json"};
  for (const std::string& name : examples) {
    const fs::path golden = fs::path(QOR_SOURCE_DIR) / "tests/tools/qorctl/golden" /
                            (fs::path(name).stem().string() + ".json");
    ASSERT_TRUE(fs::exists(golden)) << "no golden file for " << name;
    const std::string expected = ReadFile(golden);
    const Outcome one = RunQorctl({"check", "--json", "examples/" + name});
    EXPECT_EQ(one.status, 0) << name;
    EXPECT_EQ(one.err, "") << name;
    EXPECT_EQ(one.out, expected) << name;
    EXPECT_NE(one.out.find("\"ok\": true"), std::string::npos) << name;
    allExpected += expected;
    arguments.push_back("examples/" + name);
  }
  // All at once: one line per file, in the order given.
  const Outcome all = RunQorctl(arguments);
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out, allExpected);
}

TEST(CheckCommand, SummaryMatchesItsGoldenText) {
  std::vector<std::string> arguments{"check"};
  for (const std::string& name : Examples()) arguments.push_back("examples/" + name);
  const Outcome outcome = RunQorctl(arguments);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out,
            ReadFile(fs::path(QOR_SOURCE_DIR) / "tests/tools/qorctl/golden/summary.txt"));
}

TEST(CheckCommand, FailuresShowTheOperatorsMessage) {
  test::TempFiles files;
  files.Write("good.qor", "*product 1 2 Board\n*restart\n");
  files.Write("bad.qor", "*restart\n# note\nS30900001000010203049A\n");

  const Outcome text = RunQorctl({"check", "good.qor", "bad.qor", "missing.qor"}, files.Folder());
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(text.out, "good.qor: ok, 1 product, 0 script entries, 1 directive\n");
  EXPECT_EQ(text.err,
            "Error in \"bad.qor\", line 3: Extraneous line(s) following *RESTART directive\n"
            "Cannot open \"missing.qor\"\n");

  const Outcome json = RunQorctl({"check", "--json", "bad.qor", "good.qor"}, files.Folder());
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.out,
            "{\"file\": \"bad.qor\", \"ok\": false, \"error\": \"Error in \\\"bad.qor\\\", line 3: "
            "Extraneous line(s) following *RESTART directive\"}\n"
            "{\"file\": \"good.qor\", \"ok\": true, \"products\": [{\"vendor\": 1, \"product\": 2, "
            "\"description\": \"Board\"}], \"scripts\": [], \"directives\": [{\"kind\": 8, "
            "\"directive\": \"*restart\"}], \"warnings\": [], \"signature\": null}\n");
}

TEST(CheckCommand, WarningsGoToStandardErrorAndStrictMakesThemFail) {
  test::TempFiles files;
  files.Write("typo.qor", "*script 0x1234 2 Plus\n*section a\n*restrat\n");
  files.Write("clean.qor", "*restart\n");
  const std::string warnings =
      "Warning in \"typo.qor\", line 1: *script entry for product 0x1234:0x0002, which no "
      "*product of the script names\n"
      "Warning in \"typo.qor\", line 3: Unknown directive *restrat ignored\n";
  const Outcome text = RunQorctl({"check", "typo.qor", "clean.qor"}, files.Folder());
  EXPECT_EQ(text.status, 0) << "warnings alone do not fail a check";
  EXPECT_EQ(text.err, warnings);
  EXPECT_EQ(text.out,
            "typo.qor: ok, 0 products, 1 script entry, 1 directive, 2 warnings\n"
            "clean.qor: ok, 0 products, 0 script entries, 1 directive\n");

  const Outcome strict = RunQorctl({"check", "--strict", "typo.qor", "clean.qor"}, files.Folder());
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.err, warnings);
  EXPECT_EQ(RunQorctl({"check", "--strict", "clean.qor"}, files.Folder()).status, 0);

  files.Write("empty.qor", "# nothing\n");
  const Outcome json = RunQorctl({"check", "--json", "--strict", "empty.qor"}, files.Folder());
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.out,
            "{\"file\": \"empty.qor\", \"ok\": true, \"products\": [], \"scripts\": [], "
            "\"directives\": [], \"warnings\": [{\"line\": null, \"text\": \"No directive to run: "
            "the script does nothing\"}], \"signature\": null}\n");
}

TEST(CheckCommand, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"check"}, {"check", "--json"}, {"check", "--bogus", "x.qor"}}) {
    const Outcome outcome = RunQorctl(arguments);
    EXPECT_EQ(outcome.status, 2) << arguments.back();
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err, "");
  }
  const Outcome help = RunQorctl({"check", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--json"), std::string::npos);
}

TEST(CheckCommand, JsonNumbersAreUnsignedAndTablesInKeyOrder) {
  test::TempFiles files;
  files.Write("numbers.qor",
              "*script 0x1234 2 b\n"
              "*product -1 0x12345 top\n"
              "*script 0x1234 1 a\n"
              "*download -0x80000000 2048\n"
              "S3090000000001FF030400\n"
              "S30680000404026F\n"
              "*loadenv -0x10 -1\n");
  const Outcome outcome = RunQorctl({"check", "--json", "numbers.qor"}, files.Folder());
  EXPECT_EQ(outcome.status, 1);  // the first record lies below the image
  files.Write("numbers.qor",
              "*script 0x1234 2 b\n"
              "*product -1 0x12345 top\n"
              "*script 0x1234 1 a\n"
              "*download -0x80000000 2048\n"
              "S30680000404026F\n"
              "*loadenv -0x10 -1\n");
  const Outcome ok = RunQorctl({"check", "--json", "numbers.qor"}, files.Folder());
  EXPECT_EQ(ok.status, 0);
  // The image: 2048 bytes of 0xFF with one 0x02 at offset 1028, so only the second kilobyte
  // travels. Its CRC-32 was computed independently.
  EXPECT_EQ(ok.out,
            "{\"file\": \"numbers.qor\", \"ok\": true, \"products\": [{\"vendor\": 65535, "
            "\"product\": 9029, \"description\": \"top\"}], \"scripts\": [{\"vendor\": 4660, "
            "\"product\": 1, \"description\": \"a\"}, {\"vendor\": 4660, \"product\": 2, "
            "\"description\": \"b\"}], \"directives\": [{\"kind\": 3, \"directive\": "
            "\"*download\", \"base\": 2147483648, \"length\": 2048, \"crc32\": 1152426780, "
            "\"nonblank_chunks\": 1}, {\"kind\": 4, \"directive\": \"*loadenv\", \"address\": "
            "4294967280, \"length\": 4294967295}], \"warnings\": [{\"line\": 1, \"text\": "
            "\"*script entry for product 0x1234:0x0002, which no *product of the script names\"}, "
            "{\"line\": 3, \"text\": \"*script entry for product 0x1234:0x0001, which no *product "
            "of the script names\"}], \"signature\": null}\n");
}

TEST(CheckCommand, BytesThatAreNotUtf8BecomeOneEscapeEach) {
  test::TempFiles files;
  // Latin-1 text, a surrogate, a cut sequence, an overlong form, a code point beyond U+10FFFF,
  // and well-formed two- and four-byte characters, a quote-free backslash and a control byte.
  files.Write("text.qor",
              "*section \"caf\xE9 \xC3\xA9\"\n"
              "*setenv \"\xED\xA0\x80\" \"\xE2\x82"
              "A\"\n"
              "*editenv \xC0\xAF \xF4\x90\x80\x80 \xF0\x9F\x98\x80 a\\b \x01\n");
  const Outcome outcome = RunQorctl({"check", "--json", "text.qor"}, files.Folder());
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "{\"file\": \"text.qor\", \"ok\": true, \"products\": [], \"scripts\": [], "
            "\"directives\": [{\"kind\": 2, \"directive\": \"*section\", \"description\": "
            "\"caf\\u00e9 \xC3\xA9\"}, {\"kind\": 5, \"directive\": \"*setenv\", \"name\": "
            "\"\\u00ed\\u00a0\\u0080\", \"value\": \"\\u00e2\\u0082A\"}, {\"kind\": 6, "
            "\"directive\": \"*editenv\", \"words\": [\"\\u00c0\\u00af\", "
            "\"\\u00f4\\u0090\\u0080\\u0080\", \"\xF0\x9F\x98\x80\", \"a\\\\b\", "
            "\"\\u0001\"]}], \"warnings\": [], \"signature\": null}\n");

  // The file name goes through the same escaping.
  files.Write("na\xEFve.qor", "*restart\n");
  const Outcome name = RunQorctl({"check", "--json", "na\xEFve.qor"}, files.Folder());
  EXPECT_EQ(name.out,
            "{\"file\": \"na\\u00efve.qor\", \"ok\": true, \"products\": [], \"scripts\": [], "
            "\"directives\": [{\"kind\": 8, \"directive\": \"*restart\"}], \"warnings\": [], "
            "\"signature\": null}\n");
}

TEST(CheckCommand, AnImageTooLargeForMemoryIsAnErrorNotACrash) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the limit allows";
#elif defined(_WIN32)
  GTEST_SKIP() << "a program's address space cannot be limited here";
#else
  test::TempFiles files;
  // Only data takes memory: a blank 4 GiB image reads in 150 MB of address space...
  files.Write("blank.qor", "*section a\n*download 0 -1\n");
  test::ProgramOptions limit;
  limit.addressSpaceLimit = size_t{150000} * 1024;
  const Outcome blank = RunQorctl({"check", "--json", "blank.qor"}, files.Folder(), limit);
  EXPECT_EQ(blank.status, 0) << blank.err;
  EXPECT_NE(blank.out.find("\"length\": 4294967295, \"crc32\": "), std::string::npos) << blank.out;

  // ...while 200 MB of file data cannot be held there.
  files.Write("huge.qor", "*section a\n*download 0 -1 huge.bin\n");
  files.Write("huge.bin", "");
  fs::resize_file(files.Folder() + "/huge.bin", 200'000'000);  // zeros, sparse on disk
  const Outcome outcome = RunQorctl({"check", "huge.qor"}, files.Folder(), limit);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err,
            "Error in \"huge.qor\", in directive starting at line 2: Not enough memory\n");
#endif
}

// With a trusted key a script reads only when it and its images carry a good signature by it:
// otherwise check fails with the message the desktop program shows, and --allow-unsigned reads
// it this once all the same.
TEST(CheckCommand, WithATrustedKeyOnlySignedScriptsRead) {
  const test::TrustingQorctl qorctl;
  const std::string id = test::SignedFixtureKeyId();
  {
    test::TempFiles files;
    test::CopySignedScript(files.Folder());
    const Outcome good = qorctl.Run({"check", "--json", "x.QOR"}, files.Folder());
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.err, "");
    const std::string signature = ", \"signature\": {\"key\": \"" + id +
                                  "\", \"trusted_comment\": \"QOR test signature\"}}\n";
    ASSERT_GT(good.out.size(), signature.size());
    EXPECT_EQ(good.out.substr(good.out.size() - signature.size()), signature);
    EXPECT_EQ(qorctl.Run({"check", "x.QOR"}, files.Folder()).out,
              "x.QOR: ok, 1 product, 1 script entry, 3 directives\n");
  }
  struct Refusal {
    const char* name;
    const char* file;
    const char* fixture;  // copied over it; nullptr: the file is removed
    const char* message;
  };
  const Refusal refusals[] = {
      {"no signature", "x.QOR.minisig", nullptr, "Script x.QOR is not signed"},
      {"another key", "x.QOR.minisig", "x.QOR.other",
       "Script x.QOR is not signed by a trusted key"},
      {"not a signature", "x.QOR.minisig", "x.QOR", "Script x.QOR has a malformed signature"},
      {"the image's signature of another file", "fw.bin.minisig", "x.QOR.minisig",
       "Image fw.bin of x.QOR has a bad signature"},
  };
  for (const Refusal& refusal : refusals) {
    test::TempFiles files;
    test::CopySignedScript(files.Folder());
    if (refusal.fixture != nullptr) {
      test::CopySignedFixture(files.Folder(), refusal.fixture, refusal.file);
    } else {
      fs::remove(fs::path(files.Folder()) / refusal.file);
    }
    const Outcome text = qorctl.Run({"check", "x.QOR"}, files.Folder());
    EXPECT_EQ(text.status, 1) << refusal.name;
    EXPECT_EQ(text.out, "") << refusal.name;
    EXPECT_EQ(text.err, std::string(refusal.message) + "\n") << refusal.name;
    const Outcome json = qorctl.Run({"check", "--json", "x.QOR"}, files.Folder());
    EXPECT_EQ(json.status, 1) << refusal.name;
    EXPECT_EQ(json.out, "{\"file\": \"x.QOR\", \"ok\": false, \"error\": \"" +
                            std::string(refusal.message) + "\"}\n")
        << refusal.name;

    const Outcome allowed =
        qorctl.Run({"check", "--json", "--allow-unsigned", "x.QOR"}, files.Folder());
    EXPECT_EQ(allowed.status, 0) << refusal.name << ": " << allowed.err;
    EXPECT_NE(allowed.out.find("\"ok\": true"), std::string::npos) << refusal.name;
    EXPECT_NE(allowed.out.find(", \"signature\": null}\n"), std::string::npos) << refusal.name;
    // Nobody trusts a key: the script reads as it always did.
    EXPECT_EQ(RunQorctl({"check", "x.QOR"}, files.Folder()).status, 0) << refusal.name;
  }
}

// A key file that does not read is named, and still asks for signatures: a broken key must not
// turn the checks off.
TEST(CheckCommand, ABrokenKeyFileIsNamedAndTrustsNothing) {
  test::TempFiles keys;
  const std::string broken = keys.Write("broken.pub", "untrusted comment: cut\nRWQ\n");
  const test::TrustingQorctl qorctl(broken);
  test::TempFiles files;
  test::CopySignedScript(files.Folder());
  const Outcome outcome = qorctl.Run({"check", "x.QOR"}, files.Folder());
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_NE(outcome.err.find("broken.pub\" is not a minisign public key; it trusts no signature\n"),
            std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("\nScript x.QOR is not signed by a trusted key\n"), std::string::npos)
      << outcome.err;
}

}  // namespace
}  // namespace qor
