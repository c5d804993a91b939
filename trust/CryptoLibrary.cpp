#include "trust/CryptoLibrary.h"

#include <gcrypt.h>

#include <mutex>

namespace qor {

void StartCryptoLibrary() {
  static std::once_flag started;
  std::call_once(started, [] {
    // Only public keys and digests pass through here: no secret needs locked memory.
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

}  // namespace qor
