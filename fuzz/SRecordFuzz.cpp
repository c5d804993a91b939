// S-record lines put into an image, as *download reads them: the first bytes choose the image's
// base and length, the rest are lines. Bytes land only inside the image or the record is refused
// whole; the lint of a line never fails.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"
#include "script/DataSection.h"
#include "script/ScriptLint.h"

namespace {

// Every byte of the image, as a download would take it out.
std::vector<uint8_t> Whole(const qor::DataSection& section) {
  if (section.Length() == 0) return {};
  return section.ExtractBlock(section.Base(), section.Length()).bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qor::fuzz::InputReader input(data, size);
  const uint32_t base = input.Number(4);
  const uint32_t length = input.Number(2) % 8192;  // images of any size behave alike
  qor::DataSection section(base, length);
  const std::string text = input.Bytes(size);
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    static_cast<void>(qor::LintDownloadLine(line));
    std::optional<qor::DataBlock> block;
    try {
      block = qor::ParseSRecord(line);
    } catch (const qor::Exception&) {
      continue;
    }
    if (!block) continue;
    const std::vector<uint8_t> before = Whole(section);
    try {
      section.AddBlock(*block);
    } catch (const qor::Exception&) {
      if (Whole(section) != before) qor::fuzz::Broken("a refused record changed the image");
      continue;
    }
    const uint64_t offset = uint64_t{block->address} - base;
    const std::vector<uint8_t> after = Whole(section);
    if (!block->bytes.empty() &&
        !std::equal(block->bytes.begin(), block->bytes.end(), after.begin() + offset)) {
      qor::fuzz::Broken("a record's bytes are not where it says");
    }
  }
  return 0;
}
