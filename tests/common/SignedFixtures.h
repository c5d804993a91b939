#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "trust/TrustedKeys.h"

namespace qor::test {

// The keys and signatures that tests/trust/sign-fixtures.sh made with minisign for this test
// run (the CTest fixture "signed_fixtures"): see that script for what it holds.
inline std::string SignedFixture(const std::string& name) {
  return std::string(QOR_SIGNED_FIXTURES) + "/" + name;
}

inline std::string SignedFixtureText(const std::string& name) {
  std::ifstream in(std::filesystem::path(SignedFixture(name)), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The trusted key's id as minisign named it, in QOR's 16 digits: minisign leaves out leading
// zeros, which about one key in sixteen has.
inline std::string SignedFixtureKeyId() {
  std::string id = SignedFixtureText("key-id");
  while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
  if (id.size() < 16) id.insert(0, 16 - id.size(), '0');
  return id;
}

// The folder of the trusted key, and the keys read from it.
inline std::string SignedFixtureKeyFolder() { return SignedFixture("trusted-keys"); }
inline TrustedKeys SignedFixtureKeys() { return TrustedKeys::Load({SignedFixtureKeyFolder()}); }

// Copies fixture file name into folder as the given name.
inline void CopySignedFixture(const std::string& folder, const std::string& name,
                              const std::string& as) {
  std::filesystem::copy_file(std::filesystem::path(SignedFixture(name)),
                             std::filesystem::path(folder) / as,
                             std::filesystem::copy_options::overwrite_existing);
}

// Puts the signed x.QOR and fw.bin, each with its good signature, into folder.
inline void CopySignedScript(const std::string& folder) {
  for (const char* name : {"x.QOR", "x.QOR.minisig", "fw.bin", "fw.bin.minisig"}) {
    CopySignedFixture(folder, name, name);
  }
}

}  // namespace qor::test
