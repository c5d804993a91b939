#include "station/Sha256Digest.h"

#include <gcrypt.h>

#include <cstdio>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "trust/CryptoLibrary.h"

namespace qor {

struct Sha256Digest::State {
  gcry_md_hd_t handle = nullptr;
};

Sha256Digest::Sha256Digest() : state_(std::make_unique<State>()) {
  StartCryptoLibrary();
  if (gcry_md_open(&state_->handle, GCRY_MD_SHA256, 0) != 0) {
    throw Exception("The crypto library offers no SHA-256");
  }
}

Sha256Digest::~Sha256Digest() { gcry_md_close(state_->handle); }

void Sha256Digest::Update(std::span<const uint8_t> bytes) {
  gcry_md_write(state_->handle, bytes.data(), bytes.size());
}

std::vector<uint8_t> Sha256Digest::Finish() {
  const unsigned char* digest = gcry_md_read(state_->handle, GCRY_MD_SHA256);
  if (digest == nullptr) return {};
  return std::vector<uint8_t>(digest, digest + kSize);
}

std::string Sha256Digest::OfFile(const std::string& path) {
  std::FILE* file = IsDirectory(path) ? nullptr : OpenFile(path, "rb");
  if (file == nullptr) throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  Sha256Digest digest;
  std::vector<uint8_t> piece(64 * 1024);
  size_t got = 0;
  while ((got = std::fread(piece.data(), 1, piece.size(), file)) > 0) {
    digest.Update(std::span<const uint8_t>(piece.data(), got));
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  std::string hex;
  for (const uint8_t byte : digest.Finish()) hex += Format("%02x", byte);
  return hex;
}

}  // namespace qor
