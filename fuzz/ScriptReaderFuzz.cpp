// The script reader with every directive parser, as the desktop program and qorctl check read a
// file, the lint looking on. Any crash, sanitizer report or exception other than the program's
// own is a fault; so is a lint that changes what is read.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/DownloadDirective.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"
#include "script/Lexer.h"
#include "script/Script.h"
#include "script/ScriptLint.h"

namespace {

// An image is read into memory whole, so a *download of gigabytes costs gigabytes (or ends in
// "Not enough memory", as a test shows): more than a fuzzer may take. Such groups are left to
// no parser here; everything else is read by the program's own registry.
constexpr uint32_t kLargestImage = 1 << 20;

std::unique_ptr<qor::Directive> BoundedDownload(const qor::Script& script,
                                                const std::vector<std::string>& lines) {
  try {
    const std::vector<std::string> words = qor::Tokenize(lines.front());
    if (words.size() >= 3 && qor::EqualsIgnoreCase(words[0], "*download") &&
        static_cast<uint32_t>(qor::ParseNumber(words[2])) > kLargestImage) {
      return nullptr;
    }
  } catch (const qor::ParseException&) {
    // The parser itself reports it.
  }
  return qor::DownloadDirective::Parse(script, lines);
}

const std::vector<qor::DirectiveParser>& Registry() {
  static const std::vector<qor::DirectiveParser> registry = [] {
    std::vector<qor::DirectiveParser> parsers(qor::DirectiveRegistry().begin(),
                                              qor::DirectiveRegistry().end());
    for (qor::DirectiveParser& parser : parsers) {
      if (parser == &qor::DownloadDirective::Parse) parser = &BoundedDownload;
    }
    return parsers;
  }();
  return registry;
}

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
    const qor::Script plain(path, Registry());
    plainCount = plain.DirectiveCount();
    for (int32_t i = 0; i < plainCount; ++i) {
      static_cast<void>(plain.DirectiveAt(i).Fields());
    }
  } catch (const qor::Exception&) {
  }
  try {
    qor::ScriptLint lint;
    const qor::Script linted(path, Registry(), &lint);
    lint.Finish(linted);
    static_cast<void>(lint.Warnings());
    if (linted.DirectiveCount() != plainCount) qor::fuzz::Broken("the lint changed the reading");
  } catch (const qor::Exception&) {
    if (plainCount >= 0) qor::fuzz::Broken("the lint made a readable script fail");
  }
  return 0;
}
