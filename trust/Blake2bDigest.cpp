#include "trust/Blake2bDigest.h"

#include <gcrypt.h>

#include "platform/Exception.h"
#include "trust/CryptoLibrary.h"

namespace qor {

struct Blake2bDigest::State {
  gcry_md_hd_t handle = nullptr;
};

Blake2bDigest::Blake2bDigest() : state_(std::make_unique<State>()) {
  StartCryptoLibrary();
  // Fails where the library is restricted to other hashes (a FIPS mode, say).
  if (gcry_md_open(&state_->handle, GCRY_MD_BLAKE2B_512, 0) != 0) {
    throw Exception("Cannot check signatures: the crypto library offers no BLAKE2b-512");
  }
}

Blake2bDigest::~Blake2bDigest() { gcry_md_close(state_->handle); }

void Blake2bDigest::Update(std::span<const uint8_t> bytes) {
  gcry_md_write(state_->handle, bytes.data(), bytes.size());
}

std::vector<uint8_t> Blake2bDigest::Finish() {
  const unsigned char* digest = gcry_md_read(state_->handle, GCRY_MD_BLAKE2B_512);
  if (digest == nullptr) return {};
  return std::vector<uint8_t>(digest, digest + kSize);
}

std::unique_ptr<ByteDigest> Blake2bDigest::Make() { return std::make_unique<Blake2bDigest>(); }

}  // namespace qor
