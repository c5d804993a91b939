#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

// A minisign public key: the file's "untrusted comment:" line, then the base64 of "Ed", the
// 8-byte key id and the 32-byte Ed25519 key.
struct MinisignKey {
  uint64_t id = 0;  // the id bytes read little-endian, as minisign prints it
  std::array<uint8_t, 32> key{};
};

// A detached minisign signature (NAME.minisig): an "untrusted comment:" line; the base64 of the
// algorithm ("ED": the file's BLAKE2b-512 is signed; "Ed", legacy: the file itself), the key id
// and the signature; a "trusted comment:" line; the base64 of the global signature, made by the
// same key over the signature and the trusted comment together.
struct MinisignSignature {
  bool prehashed = true;
  uint64_t keyId = 0;
  std::array<uint8_t, 64> signature{};
  std::string trustedComment;
  std::array<uint8_t, 64> globalSignature{};
};

// Nothing when text is not such a file. Lines may end in LF or CR LF.
[[nodiscard]] std::optional<MinisignKey> ParseMinisignKey(std::string_view text);
[[nodiscard]] std::optional<MinisignSignature> ParseMinisignSignature(std::string_view text);

// A key id as minisign prints it: 16 upper-case hexadecimal digits.
[[nodiscard]] std::string KeyIdText(uint64_t id);

}  // namespace qor
