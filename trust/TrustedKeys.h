#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "trust/MinisignFiles.h"

namespace qor {

enum class SignatureStatus {
  kGood,
  kMissing,     // no signature file
  kMalformed,   // a signature file that is not one
  kLegacy,      // a signature over the whole file rather than over its hash: refused
  kUnknownKey,  // made by a key that is not trusted
  kBad,         // by a trusted key, but not of these bytes, or its trusted comment was changed
};

// What a signature file says of a file, once checked.
struct SignatureCheck {
  SignatureStatus status = SignatureStatus::kMissing;
  // From the signature file, when it read.
  uint64_t keyId = 0;
  std::string trustedComment;
};

// The minisign public keys trusted to sign scripts and their images. With none, nothing is
// checked anywhere.
class TrustedKeys {
 public:
  TrustedKeys();
  ~TrustedKeys();
  TrustedKeys(TrustedKeys&&) noexcept;
  TrustedKeys& operator=(TrustedKeys&&) noexcept;
  TrustedKeys(const TrustedKeys&) = delete;
  TrustedKeys& operator=(const TrustedKeys&) = delete;

  // The key files (names ending in ".pub") of folders; a missing folder holds none.
  [[nodiscard]] static TrustedKeys Load(const std::vector<std::string>& folders);

  void Add(const MinisignKey& key);
  // A key file that is no minisign public key. It still counts as a key: someone meant to
  // trust a key there, and a broken file must not turn the checks off.
  void AddUnreadable(const std::string& path);

  // No key file at all: scripts are read without any check.
  [[nodiscard]] bool Empty() const;
  [[nodiscard]] size_t KeyCount() const;
  [[nodiscard]] const std::vector<std::string>& UnreadableFiles() const;

  // Checks the detached signature at signaturePath against digest, the BLAKE2b-512 of the
  // bytes that were read from the signed file.
  [[nodiscard]] SignatureCheck Check(const std::string& signaturePath,
                                     std::span<const uint8_t> digest) const;
  // Everything Check does short of the signature itself, so that a file nobody trusted to
  // sign is refused before it is read: kGood here says only that the signature file reads and
  // names a trusted key.
  [[nodiscard]] SignatureCheck Examine(const std::string& signaturePath) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
