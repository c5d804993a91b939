// libFuzzer target for everything that reads outside bytes in the script language: the reader
// with every directive parser, S3 records, numbers and environment blocks. Any crash, sanitizer
// report or exception other than the program's own is a fault.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "exec/DirectiveRegistry.h"
#include "net/TargetEnvironment.h"
#include "platform/Exception.h"
#include "script/DataSection.h"
#include "script/Lexer.h"
#include "script/Script.h"

namespace {

std::string ScriptPath() {
  static const std::string path = [] {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder != nullptr ? folder : "/tmp") + "/qor-fuzz-" +
           std::to_string(::getpid()) + ".qor";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (std::FILE* file = std::fopen(ScriptPath().c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    try {
      qor::Script script(ScriptPath(), qor::DirectiveRegistry());
      for (int32_t i = 0; i < script.DirectiveCount(); ++i) (void)script.DirectiveAt(i).Kind();
    } catch (const qor::Exception&) {
    }
  }

  try {
    (void)qor::ParseSRecord(text);
  } catch (const qor::Exception&) {
  }
  try {
    for (const std::string& word : qor::Tokenize(text)) (void)qor::ParseNumber(word);
  } catch (const qor::ParseException&) {
  }

  qor::TargetEnvironment environment;
  qor::ParseEnvironmentBlock(data, size, environment);
  const qor::DataBlock rebuilt =
      qor::BuildEnvironmentBlock(environment, 0, static_cast<uint32_t>(size));
  if (rebuilt.bytes.size() != size) std::abort();
  return 0;
}
