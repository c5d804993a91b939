#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/common/SignedFixtures.h"
#include "tests/common/TempFiles.h"
#include "trust/Base64.h"
#include "trust/Blake2bDigest.h"
#include "trust/Ed25519.h"
#include "trust/MinisignFiles.h"
#include "trust/TrustedKeys.h"

namespace qor {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Base64, DecodesPaddedTextAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    std::optional<Bytes> bytes;
  };
  const Case cases[] = {
      {"", Bytes{}},
      {"TWFu", FromText("Man")},
      {"TWE=", FromText("Ma")},
      {"TQ==", FromText("M")},
      {"+/+/", Bytes{0xFB, 0xFF, 0xBF}},
      {"TWF", std::nullopt},    // not a multiple of four
      {"TQ", std::nullopt},     // unpadded
      {"T===", std::nullopt},   // too much padding
      {"TW=u", std::nullopt},   // padding inside
      {"TWF-", std::nullopt},   // the URL alphabet
      {"TW u", std::nullopt},   // a blank
      {"TR==", std::nullopt},   // bits left over that padding must leave zero
      {"TWF\n", std::nullopt},  // a line end
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeBase64(c.text), c.bytes) << c.text;
}

// The first test vector of Ed25519's definition (RFC 8032, 7.1), and a change to each part.
TEST(Ed25519, VerifiesTheReferenceVectorAndNothingNearIt) {
  const Bytes key = FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const Bytes signature = FromHex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
      "b46bd25bf5f0595bbe24655141438e7a100b");
  const auto verify = [](const Bytes& k, const Bytes& m, const Bytes& s) {
    return VerifyEd25519(std::span<const uint8_t, 32>(k.data(), 32), m,
                         std::span<const uint8_t, 64>(s.data(), 64));
  };
  EXPECT_TRUE(verify(key, {}, signature));
  EXPECT_FALSE(verify(key, {0x00}, signature));
  Bytes otherKey = key;
  otherKey[0] ^= 1;
  EXPECT_FALSE(verify(otherKey, {}, signature));
  for (const size_t at : {size_t{0}, size_t{40}}) {  // in R, in S
    Bytes changed = signature;
    changed[at] ^= 0x80;
    EXPECT_FALSE(verify(key, {}, changed)) << at;
  }
}

TEST(Blake2bDigest, GivesTheReferenceDigestInOneOrManyPieces) {
  // BLAKE2b-512 of "abc" (RFC 7693, appendix A).
  const Bytes abc = FromHex(
      "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792dc252d5de4533"
      "cc9518d38aa8dbf1925ab92386edd4009923");
  Blake2bDigest whole;
  whole.Update(FromText("abc"));
  EXPECT_EQ(whole.Finish(), abc);
  std::unique_ptr<ByteDigest> pieces = Blake2bDigest::Make();
  for (const char* piece : {"a", "", "bc"}) pieces->Update(FromText(piece));
  EXPECT_EQ(pieces->Finish(), abc);
}

TEST(MinisignFiles, ReadWhatMinisignWritesWithTheIdItPrints) {
  const std::optional<MinisignKey> key =
      ParseMinisignKey(test::SignedFixtureText("trusted-keys/release.pub"));
  ASSERT_TRUE(key);
  EXPECT_EQ(KeyIdText(key->id), test::SignedFixtureKeyId());

  const std::optional<MinisignSignature> signature =
      ParseMinisignSignature(test::SignedFixtureText("x.QOR.minisig"));
  ASSERT_TRUE(signature);
  EXPECT_TRUE(signature->prehashed);
  EXPECT_EQ(signature->keyId, key->id);
  EXPECT_EQ(signature->trustedComment, "QOR test signature");

  const std::optional<MinisignSignature> legacy =
      ParseMinisignSignature(test::SignedFixtureText("x.QOR.legacy"));
  ASSERT_TRUE(legacy);
  EXPECT_FALSE(legacy->prehashed);
  EXPECT_EQ(legacy->keyId, key->id);

  const std::optional<MinisignKey> other = ParseMinisignKey(test::SignedFixtureText("other.pub"));
  ASSERT_TRUE(other);
  EXPECT_NE(other->id, key->id);
}

// Each line of a file minisign wrote, for building broken ones from it.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

TEST(MinisignFiles, RefuseWhatIsNotAKeyOrASignature) {
  const std::vector<std::string> sig = Lines(test::SignedFixtureText("x.QOR.minisig"));
  const std::vector<std::string> pub = Lines(test::SignedFixtureText("trusted-keys/release.pub"));
  ASSERT_EQ(sig.size(), 4u);
  ASSERT_EQ(pub.size(), 2u);
  // Line ends of another system, and no end after the last line, are fine.
  EXPECT_TRUE(ParseMinisignSignature(Joined(sig, "\r\n")));
  EXPECT_TRUE(ParseMinisignSignature(Joined(sig).substr(0, Joined(sig).size() - 1)));
  EXPECT_TRUE(ParseMinisignKey(Joined(pub, "\r\n")));

  const auto with = [](std::vector<std::string> lines, size_t at, const std::string& line) {
    lines[at] = line;
    return Joined(lines);
  };
  std::string algorithm = sig[1];
  algorithm[2] = 'X';  // the second algorithm letter: "Ed" becomes "EX" in base64 terms
  const std::vector<std::string> badSignatures = {
      "",
      Joined({sig[0], sig[1]}),                           // truncated
      Joined({sig[0], sig[1], sig[2]}),                   // no global signature
      with(sig, 0, "comment: " + sig[0]),                 // no untrusted comment
      with(sig, 2, "comment: QOR test signature"),        // no trusted comment
      with(sig, 1, sig[1].substr(0, sig[1].size() - 4)),  // three bytes short
      with(sig, 1, sig[1] + "AAAA"),                      // three bytes long
      with(sig, 3, sig[3].substr(0, 40)),                 // a short global signature
      with(sig, 1, algorithm),                            // an unknown algorithm
      with(sig, 1, sig[3]),                               // a signature without its head
      "\x89PNG\r\n\x1a\n garbage\n\n\n\n",
  };
  for (const std::string& text : badSignatures) {
    EXPECT_FALSE(ParseMinisignSignature(text)) << text;
  }
  const std::vector<std::string> badKeys = {
      "",
      Joined({pub[0]}),
      Joined({pub[1]}),                    // no comment line
      with(pub, 1, pub[1].substr(0, 40)),  // short
      with(pub, 1, sig[1]),                // a signature is no key
  };
  for (const std::string& text : badKeys) EXPECT_FALSE(ParseMinisignKey(text)) << text;
}

TEST(TrustedKeys, ReadTheKeyFilesOfTheirFoldersAndCountBrokenOnes) {
  EXPECT_TRUE(TrustedKeys().Empty());
  EXPECT_TRUE(TrustedKeys::Load({"/no/such/folder", ""}).Empty());

  const TrustedKeys fixture = test::SignedFixtureKeys();
  EXPECT_FALSE(fixture.Empty());
  EXPECT_EQ(fixture.KeyCount(), 1u);

  test::TempFiles folder;
  folder.Write("notes.txt", "Not a key, and not named as one: ignored.\n");
  EXPECT_TRUE(TrustedKeys::Load({folder.Folder()}).Empty());
  folder.Write("other.PUB", test::SignedFixtureText("other.pub"));
  folder.Write("broken.pub", "untrusted comment: cut short\nRWQ\n");
  std::filesystem::create_directory(std::filesystem::path(folder.Folder()) / "folder.pub");
  const TrustedKeys keys = TrustedKeys::Load({folder.Folder(), test::SignedFixtureKeyFolder()});
  EXPECT_EQ(keys.KeyCount(), 2u);
  ASSERT_EQ(keys.UnreadableFiles().size(), 1u);
  EXPECT_NE(keys.UnreadableFiles()[0].find("broken.pub"), std::string::npos);

  // A broken key file alone still means that signatures are wanted: nothing reads unchecked.
  test::TempFiles brokenOnly;
  brokenOnly.Write("mine.pub", "garbage");
  const TrustedKeys broken = TrustedKeys::Load({brokenOnly.Folder()});
  EXPECT_FALSE(broken.Empty());
  EXPECT_EQ(broken.KeyCount(), 0u);
}

}  // namespace
}  // namespace qor
