#pragma once

namespace qor {

// Makes libgcrypt ready for use, once per process, whichever thread asks first. Every function
// here that calls libgcrypt calls this first.
void StartCryptoLibrary();

}  // namespace qor
