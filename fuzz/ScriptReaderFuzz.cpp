// The script reader with every directive parser, as the desktop program and qorctl check read a
// file, the lint looking on. An image holds only the data a file or records put in it, so even a
// *download of gigabytes costs no more than its input. Any crash, sanitizer report or exception
// other than the program's own is a fault; so is a lint that changes what is read.
#include <cstdint>
#include <cstdio>
#include <string>

#include "exec/DirectiveRegistry.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "script/ScriptLint.h"

namespace {

// The one file every input is written to, removed when the fuzzer ends.
struct ScriptFile {
  std::string path = qor::fuzz::TempPath("script.qor");
  ~ScriptFile() { std::remove(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScriptFile scriptFile;
  const std::string& path = scriptFile.path;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  int32_t plainCount = -1;
  try {
    const qor::Script plain(path, qor::DirectiveRegistry());
    plainCount = plain.DirectiveCount();
    for (int32_t i = 0; i < plainCount; ++i) {
      static_cast<void>(plain.DirectiveAt(i).Fields());
    }
  } catch (const qor::Exception&) {
  }
  try {
    qor::ScriptLint lint;
    const qor::Script linted(path, qor::DirectiveRegistry(), &lint);
    lint.Finish(linted);
    static_cast<void>(lint.Warnings());
    if (linted.DirectiveCount() != plainCount) qor::fuzz::Broken("the lint changed the reading");
  } catch (const qor::Exception&) {
    if (plainCount >= 0) qor::fuzz::Broken("the lint made a readable script fail");
  }
  return 0;
}
