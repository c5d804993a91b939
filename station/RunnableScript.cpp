#include "station/RunnableScript.h"

#include <filesystem>
#include <system_error>

#include "exec/DirectiveRegistry.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "station/Sha256Digest.h"

namespace qor {

RunnableScript ReadRunnableScript(const std::string& path, const TrustedKeys& keys) {
  RunnableScript runnable;
  std::error_code ignored;
  runnable.path = std::filesystem::absolute(path, ignored).string();
  if (runnable.path.empty()) runnable.path = path;
  // Hashed before and after it is read: the same digest both times names what was read.
  std::string before;
  try {
    before = Sha256Digest::OfFile(path);
  } catch (const Exception&) {
    // Not there or not readable: the reader says so in its own words.
  }
  runnable.read = ReadScriptWithLint(path, DirectiveRegistry(), keys);
  runnable.sha256 = Sha256Digest::OfFile(path);
  if (runnable.sha256 != before) {
    throw Exception(Format("\"%s\" changed while it was read; run again", path.c_str()));
  }
  return runnable;
}

}  // namespace qor
