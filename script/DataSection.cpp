#include "script/DataSection.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "net/Crc32.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"

namespace qor {

struct DataSection::State {
  uint32_t base = 0;
  uint32_t length = 0;
  std::vector<uint8_t> buffer;
};

DataSection::DataSection(uint32_t base, uint32_t length) : state_(std::make_unique<State>()) {
  state_->base = base;
  state_->length = length;
  state_->buffer.assign(length, 0xFF);
}

DataSection::~DataSection() = default;

uint32_t DataSection::Base() const { return state_->base; }
uint32_t DataSection::Length() const { return state_->length; }
const uint8_t* DataSection::Bytes() const {
  return state_->buffer.empty() ? nullptr : state_->buffer.data();
}
uint8_t* DataSection::MutableBytes() {
  return state_->buffer.empty() ? nullptr : state_->buffer.data();
}

// Bounds are compared in 64 bits: in 32 bits an address near 0xFFFFFFFF plus a size wraps
// round to a small number and would pass the check, writing far outside the buffer.
void DataSection::AddBlock(const DataBlock& block) {
  const uint64_t start = block.address;
  const uint64_t end = start + block.bytes.size();
  const uint64_t base = state_->base;
  if (start < base || end > base + state_->length) {
    throw Exception("Trying to add too much data to section");
  }
  if (block.bytes.empty()) return;
  std::copy(block.bytes.begin(), block.bytes.end(), state_->buffer.begin() + (start - base));
}

DataBlock DataSection::ExtractBlock(uint32_t address, uint32_t maximum) const {
  const uint64_t base = state_->base;
  const uint64_t end = base + state_->length;
  if (state_->buffer.empty() || address < base || address >= end) {
    throw Exception("Trying to extract data from outside section bounds");
  }
  const uint64_t count = std::min<uint64_t>(maximum, end - address);
  DataBlock block;
  block.address = address;
  const auto first = state_->buffer.begin() + static_cast<std::ptrdiff_t>(address - base);
  block.bytes.assign(first, first + static_cast<std::ptrdiff_t>(count));
  return block;
}

uint32_t DataSection::ImageCrc() const { return Crc32(std::span<const uint8_t>(state_->buffer)); }

uint64_t DataSection::NonBlankChunkCount() const {
  const std::span<const uint8_t> bytes(state_->buffer);
  uint64_t count = 0;
  for (size_t offset = 0; offset < bytes.size(); offset += kMaxDataBytes) {
    const auto chunk =
        bytes.subspan(offset, std::min<size_t>(kMaxDataBytes, bytes.size() - offset));
    if (std::any_of(chunk.begin(), chunk.end(), [](uint8_t b) { return b != 0xFF; })) ++count;
  }
  return count;
}

namespace {

// Closes the file on every way out.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() { std::fclose(file); }
};

}  // namespace

void LoadBinaryFile(DataSection& section, const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) throw Exception(Format("Cannot open \"%s\"", path.c_str()));
  FileCloser closer{file};

  const std::optional<OpenFileStatus> status = StatOpenFile(file);
  if (!status) throw Exception(Format("Cannot stat binary file \"%s\"", path.c_str()));
  // A folder opens on some systems but is no file to load.
  if (status->isDirectory) throw Exception(Format("Cannot open \"%s\"", path.c_str()));

  const uint64_t size = status->size;
  if (size > section.Length()) {
    throw Exception(Format("Binary file \"%s\" is too large for download area", path.c_str()));
  }
  if (size == 0) return;
  if (std::fread(section.MutableBytes(), 1, size, file) != size) {
    throw Exception(Format("Error reading file \"%s\"", path.c_str()));
  }
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  throw Exception("Invalid character in S-record");
}

namespace {

// The character at position i, or NUL past the end, which no hex digit matches: a record
// shorter than its count says fails like any other bad digit.
char At(const std::string& line, size_t i) { return i < line.size() ? line[i] : '\0'; }

uint32_t HexValue(const std::string& line, size_t position, size_t digits) {
  uint32_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    value = (value << 4) | static_cast<uint32_t>(HexDigitValue(At(line, position + i)));
  }
  return value;
}

}  // namespace

std::optional<DataBlock> ParseSRecord(const std::string& line) {
  if (line.size() < 10 || line[0] != 'S' || line[1] != '3') return std::nullopt;
  const uint32_t count = HexValue(line, 2, 2);
  DataBlock block;
  block.address = HexValue(line, 4, 8);
  // The count covers the four address bytes and the checksum: below 5 the record contradicts
  // itself, and it is refused rather than read as a negative length.
  if (count < 5) throw Exception("Invalid character in S-record");
  block.bytes.resize(count - 5);
  for (size_t i = 0; i < block.bytes.size(); ++i) {
    block.bytes[i] = static_cast<uint8_t>(HexValue(line, 12 + 2 * i, 2));
  }
  return block;
}

}  // namespace qor
