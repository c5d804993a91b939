#pragma once

#include <filesystem>
#include <string>

#include "tests/common/RunProgram.h"
#include "tests/common/SignedFixtures.h"
#include "tests/common/TempFiles.h"

namespace qor::test {

// qorctl as a user runs it who trusts the signed fixtures' key: on Windows a copy of the program
// with a trusted-keys folder beside it, elsewhere the program itself with XDG_CONFIG_HOME
// pointing at a folder holding qor/trusted-keys.
class TrustingQorctl {
 public:
  explicit TrustingQorctl(const std::string& keyFile = SignedFixture("trusted-keys/release.pub")) {
    namespace fs = std::filesystem;
#ifdef _WIN32
    const fs::path keys = fs::path(home_.Folder()) / "trusted-keys";
    program_ = (fs::path(home_.Folder()) / "qorctl.exe").string();
    fs::copy_file(fs::path(QORCTL_PATH), fs::path(program_));
#else
    const fs::path keys = fs::path(home_.Folder()) / "qor" / "trusted-keys";
    program_ = QORCTL_PATH;
    options_.environment = {{"XDG_CONFIG_HOME", home_.Folder()}};
#endif
    fs::create_directories(keys);
    fs::copy_file(fs::path(keyFile), keys / fs::path(keyFile).filename());
  }

  [[nodiscard]] ProgramRun Run(const std::vector<std::string>& arguments,
                               const std::string& folder = ".") const {
    ProgramOptions options = options_;
    options.folder = folder;
    return RunProgram(program_, arguments, options);
  }

 private:
  TempFiles home_;
  std::string program_;
  ProgramOptions options_;
};

// The options of a qorctl that trusts no key, whatever the user running the tests trusts.
inline ProgramOptions WithoutTrustedKeys(ProgramOptions options = ProgramOptions()) {
  options.environment.emplace_back("XDG_CONFIG_HOME", "/nonexistent/qor-tests");
  return options;
}

}  // namespace qor::test
