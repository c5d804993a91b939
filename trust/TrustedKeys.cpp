#include "trust/TrustedKeys.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "platform/Files.h"
#include "trust/Blake2bDigest.h"
#include "trust/Ed25519.h"

namespace qor {
namespace {

// Key and signature files are a few hundred bytes; anything much larger is neither.
constexpr size_t kLargestFile = 16 * 1024;

// The file's bytes, one more than limit when it is larger; nothing when it cannot be opened.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  if (IsDirectory(path)) return std::nullopt;
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return std::nullopt;
  std::string bytes(limit + 1, '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
  return bytes;
}

// The signature file read and its key looked for; status kGood when one of keys has its id.
SignatureCheck Read(const std::string& path, const std::vector<MinisignKey>& keys,
                    std::optional<MinisignSignature>& signature) {
  SignatureCheck check;
  const std::optional<std::string> text = ReadSmallFile(path, kLargestFile);
  if (!text) return check;  // kMissing
  if (text->size() <= kLargestFile) signature = ParseMinisignSignature(*text);
  if (!signature) {
    check.status = SignatureStatus::kMalformed;
    return check;
  }
  check.keyId = signature->keyId;
  check.trustedComment = signature->trustedComment;
  const bool known = std::any_of(
      keys.begin(), keys.end(), [&](const MinisignKey& key) { return key.id == signature->keyId; });
  // Verifying a legacy signature would need the whole file in memory at once; minisign signs
  // hashes unless told otherwise.
  check.status = !signature->prehashed ? SignatureStatus::kLegacy
                 : known               ? SignatureStatus::kGood
                                       : SignatureStatus::kUnknownKey;
  return check;
}

}  // namespace

struct TrustedKeys::State {
  std::vector<MinisignKey> keys;
  std::vector<std::string> unreadable;
};

TrustedKeys::TrustedKeys() : state_(std::make_unique<State>()) {}
TrustedKeys::~TrustedKeys() = default;
TrustedKeys::TrustedKeys(TrustedKeys&&) noexcept = default;
TrustedKeys& TrustedKeys::operator=(TrustedKeys&&) noexcept = default;

TrustedKeys TrustedKeys::Load(const std::vector<std::string>& folders) {
  TrustedKeys trusted;
  for (const std::string& folder : folders) {
    for (const std::string& name : ListFilesWithExtension(folder, ".pub")) {
      const std::string path = folder + kPathSeparator + name;
      if (IsDirectory(path)) continue;
      const std::optional<std::string> text = ReadSmallFile(path, kLargestFile);
      const std::optional<MinisignKey> key =
          text && text->size() <= kLargestFile ? ParseMinisignKey(*text) : std::nullopt;
      if (key) {
        trusted.Add(*key);
      } else {
        trusted.AddUnreadable(path);
      }
    }
  }
  return trusted;
}

void TrustedKeys::Add(const MinisignKey& key) { state_->keys.push_back(key); }

void TrustedKeys::AddUnreadable(const std::string& path) { state_->unreadable.push_back(path); }

bool TrustedKeys::Empty() const { return state_->keys.empty() && state_->unreadable.empty(); }

size_t TrustedKeys::KeyCount() const { return state_->keys.size(); }

const std::vector<std::string>& TrustedKeys::UnreadableFiles() const { return state_->unreadable; }

SignatureCheck TrustedKeys::Examine(const std::string& signaturePath) const {
  std::optional<MinisignSignature> signature;
  return Read(signaturePath, state_->keys, signature);
}

SignatureCheck TrustedKeys::Check(const std::string& signaturePath,
                                  std::span<const uint8_t> digest) const {
  std::optional<MinisignSignature> signature;
  SignatureCheck check = Read(signaturePath, state_->keys, signature);
  if (check.status != SignatureStatus::kGood) return check;
  // The global signature covers the signature and the trusted comment, so neither can be
  // swapped for another.
  std::vector<uint8_t> global(signature->signature.begin(), signature->signature.end());
  global.insert(global.end(), signature->trustedComment.begin(), signature->trustedComment.end());
  check.status = SignatureStatus::kBad;
  for (const MinisignKey& key : state_->keys) {
    if (key.id == signature->keyId && digest.size() == Blake2bDigest::kSize &&
        VerifyEd25519(key.key, digest, signature->signature) &&
        VerifyEd25519(key.key, global, signature->globalSignature)) {
      check.status = SignatureStatus::kGood;
      break;
    }
  }
  return check;
}

}  // namespace qor
