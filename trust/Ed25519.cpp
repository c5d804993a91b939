#include "trust/Ed25519.h"

#include <gcrypt.h>

#include <climits>

#include "trust/CryptoLibrary.h"

namespace qor {
namespace {

// Frees an S-expression on every way out.
struct Expression {
  gcry_sexp_t value = nullptr;
  ~Expression() { gcry_sexp_release(value); }
};

}  // namespace

bool VerifyEd25519(std::span<const uint8_t, 32> publicKey, std::span<const uint8_t> message,
                   std::span<const uint8_t, 64> signature) {
  if (message.size() > INT_MAX) return false;
  StartCryptoLibrary();
  Expression key;
  Expression signed_;
  Expression data;
  if (gcry_sexp_build(&key.value, nullptr,
                      "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(publicKey.size()), publicKey.data()) != 0 ||
      gcry_sexp_build(&signed_.value, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32,
                      signature.data(), 32, signature.data() + 32) != 0 ||
      gcry_sexp_build(&data.value, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), message.data()) != 0) {
    return false;
  }
  return gcry_pk_verify(signed_.value, data.value, key.value) == 0;
}

}  // namespace qor
