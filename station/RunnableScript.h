#pragma once

#include <string>

#include "trust/ReadScript.h"

namespace qor {

class TrustedKeys;

// A script read for running, with what the lint found, its full path and the SHA-256 of its
// file: what a station's record and a run's end record name it by.
struct RunnableScript {
  LintedScript read;
  std::string path;
  std::string sha256;
};

// Reads the script as qorctl check does, with keys. Throws Exception, also when the file changed
// while it was read: the digest would not name the script that runs.
[[nodiscard]] RunnableScript ReadRunnableScript(const std::string& path, const TrustedKeys& keys);

}  // namespace qor
