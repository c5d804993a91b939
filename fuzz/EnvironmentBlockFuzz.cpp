// Environment blocks as a target may return them, parsed into a table, and the table built back
// into blocks of every length the input chooses. A built block always has its length and a
// right CRC, and reads back as the entries that fitted, in order, with their values.
#include <cstdint>
#include <iterator>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "net/Crc32.h"
#include "net/TargetEnvironment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qor::fuzz::InputReader input(data, size);
  qor::TargetEnvironment table;
  if (input.Byte() & 1) table.entries["preset"] = "kept";  // a name already held keeps its value
  const size_t held = table.entries.size();
  const uint32_t length = input.Number(2) % 6000;  // longer blocks behave alike, only slower
  const std::string block = input.Bytes(size);
  const qor::EnvironmentBlockState state = qor::ParseEnvironmentBlock(
      reinterpret_cast<const uint8_t*>(block.data()), block.size(), table);
  if (state != qor::EnvironmentBlockState::kValid && table.entries.size() != held) {
    qor::fuzz::Broken("a blank or damaged block added entries");
  }

  const qor::DataBlock built = qor::BuildEnvironmentBlock(table, 0x00F00000, length);
  if (built.bytes.size() != length) qor::fuzz::Broken("a built block of another length");
  if (length < 4) return 0;  // no room for the CRC: nothing more to hold it to
  const uint32_t stored = uint32_t{built.bytes[0]} << 24 | uint32_t{built.bytes[1]} << 16 |
                          uint32_t{built.bytes[2]} << 8 | built.bytes[3];
  if (stored != qor::Crc32(static_cast<int32_t>(length - 4), built.bytes.data() + 4)) {
    qor::fuzz::Broken("a built block with a wrong CRC");
  }

  qor::TargetEnvironment again;
  if (qor::ParseEnvironmentBlock(built.bytes.data(), built.bytes.size(), again) !=
      qor::EnvironmentBlockState::kValid) {
    qor::fuzz::Broken("a built block does not read as valid");
  }
  // What came back is the table's first entries, as many as fitted, with their values.
  auto expected = table.entries.begin();
  for (const auto& [name, value] : again.entries) {
    if (expected == table.entries.end() || expected->first != name || expected->second != value) {
      qor::fuzz::Broken("a built block reads back as something else");
    }
    ++expected;
  }
  size_t needed = 4;
  for (const auto& [name, value] : table.entries) needed += name.size() + value.size() + 2;
  if (qor::EnvironmentBlockNeed(table) != needed) qor::fuzz::Broken("the need miscounted");
  if (needed <= length && again.entries.size() != table.entries.size()) {
    qor::fuzz::Broken("entries that fitted were left out");
  }
  return 0;
}
