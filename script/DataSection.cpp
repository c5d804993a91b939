#include "script/DataSection.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>

#include "net/Crc32.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "script/ByteDigest.h"

namespace qor {
namespace {

using Page = std::array<uint8_t, DataSection::kPageSize>;

bool IsBlank(const uint8_t* bytes, size_t count) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + i, sizeof word);
    if (word != ~uint64_t{0}) return false;
  }
  for (; i < count; ++i) {
    if (bytes[i] != 0xFF) return false;
  }
  return true;
}

}  // namespace

struct DataSection::State {
  uint32_t base = 0;
  uint32_t length = 0;
  // By page index from the base; a page that is not here holds nothing but 0xFF.
  std::map<uint32_t, Page> pages;
  // The page written last: records mostly come in address order.
  uint32_t lastIndex = 0;
  Page* last = nullptr;
  // The image's CRC once taken: each target of a run asks for it. Until then, the CRC of the
  // bytes before crcDone, taken ahead of time.
  std::optional<uint32_t> crc;
  uint32_t partialCrc = 0;
  uint64_t crcDone = 0;
  // The pages holding another byte than 0xFF, in order, once found until the next change: a
  // download asks for the next of them a thousand times a megabyte.
  struct NonBlankPage {
    uint32_t index;
    const Page* page;
  };
  std::optional<std::vector<NonBlankPage>> nonBlank;

  const std::vector<NonBlankPage>& NonBlank() {
    if (!nonBlank) {
      nonBlank.emplace();
      for (const auto& entry : pages) {
        if (!Blank(entry)) nonBlank->push_back({entry.first, &entry.second});
      }
    }
    return *nonBlank;
  }

  // Extends the partial CRC over the bytes up to end.
  void AdvanceCrc(uint64_t end) {
    if (crc || end <= crcDone) return;
    auto at = pages.lower_bound(static_cast<uint32_t>(crcDone / kPageSize));
    while (crcDone < end) {
      const uint64_t pageStart = at == pages.end() ? length : uint64_t{at->first} * kPageSize;
      if (crcDone < pageStart) {
        // A blank run up to the next page that holds data, or to end.
        const uint64_t blankEnd = std::min(pageStart, end);
        partialCrc = Crc32ExtendRepeated(partialCrc, 0xFF, blankEnd - crcDone);
        crcDone = blankEnd;
        continue;
      }
      const uint64_t pageEnd = std::min<uint64_t>(pageStart + PageBytes(at->first), end);
      const auto* bytes = at->second.data() + (crcDone - pageStart);
      partialCrc = Crc32Extend(
          partialCrc, std::span<const uint8_t>(bytes, static_cast<size_t>(pageEnd - crcDone)));
      crcDone = pageEnd;
      if (crcDone == pageStart + PageBytes(at->first)) ++at;
    }
  }

  // The bytes of page index that lie inside the section.
  [[nodiscard]] size_t PageBytes(uint32_t index) const {
    const uint64_t start = uint64_t{index} * kPageSize;
    return static_cast<size_t>(std::min<uint64_t>(kPageSize, length - start));
  }
  [[nodiscard]] bool Blank(const std::pair<const uint32_t, Page>& entry) const {
    return IsBlank(entry.second.data(), PageBytes(entry.first));
  }

  Page& PageAt(uint32_t index) {
    if (last != nullptr && lastIndex == index) return *last;
    auto at = pages.lower_bound(index);
    if (at == pages.end() || at->first != index) {
      at = pages.emplace_hint(at, index, Page{});
      at->second.fill(0xFF);
    }
    lastIndex = index;
    last = &at->second;
    return *last;
  }

  // Copies bytes to offset from the base, which the caller has checked. Writing 0xFF where no
  // page is changes nothing, so no page is made for it.
  void Write(uint64_t offset, const uint8_t* bytes, size_t count) {
    crc.reset();
    partialCrc = 0;
    crcDone = 0;
    nonBlank.reset();
    while (count > 0) {
      const auto index = static_cast<uint32_t>(offset / kPageSize);
      const size_t within = static_cast<size_t>(offset % kPageSize);
      const size_t part = std::min<size_t>(count, kPageSize - within);
      const bool held = (last != nullptr && lastIndex == index) || pages.count(index) != 0;
      if (held || !IsBlank(bytes, part)) std::memcpy(PageAt(index).data() + within, bytes, part);
      offset += part;
      bytes += part;
      count -= part;
    }
  }
};

DataSection::DataSection(uint32_t base, uint32_t length) : state_(std::make_unique<State>()) {
  state_->base = base;
  state_->length = length;
}

DataSection::~DataSection() = default;

uint32_t DataSection::Base() const { return state_->base; }
uint32_t DataSection::Length() const { return state_->length; }

// Bounds are compared in 64 bits: in 32 bits an address near 0xFFFFFFFF plus a size wraps
// round to a small number and would pass the check, writing far outside the area.
void DataSection::AddBytes(uint32_t address, std::span<const uint8_t> bytes) {
  const uint64_t start = address;
  const uint64_t end = start + bytes.size();
  const uint64_t base = state_->base;
  if (start < base || end > base + state_->length) {
    throw Exception("Trying to add too much data to section");
  }
  state_->Write(start - base, bytes.data(), bytes.size());
}

void DataSection::AddBlock(const DataBlock& block) { AddBytes(block.address, block.bytes); }

DataBlock DataSection::ExtractBlock(uint32_t address, uint32_t maximum) const {
  const State& s = *state_;
  const uint64_t base = s.base;
  const uint64_t end = base + s.length;
  if (s.length == 0 || address < base || address >= end) {
    throw Exception("Trying to extract data from outside section bounds");
  }
  const uint64_t first = address - base;
  const uint64_t count = std::min<uint64_t>(maximum, end - address);
  DataBlock block;
  block.address = address;
  block.bytes.assign(static_cast<size_t>(count), 0xFF);
  for (auto at = s.pages.lower_bound(static_cast<uint32_t>(first / kPageSize)); at != s.pages.end();
       ++at) {
    const uint64_t pageStart = uint64_t{at->first} * kPageSize;
    if (pageStart >= first + count) break;
    const uint64_t from = std::max(first, pageStart);
    const uint64_t to = std::min(first + count, pageStart + kPageSize);
    std::memcpy(block.bytes.data() + (from - first), at->second.data() + (from - pageStart),
                static_cast<size_t>(to - from));
  }
  return block;
}

uint32_t DataSection::ImageCrc() const {
  State& s = *state_;
  if (!s.crc) {
    s.AdvanceCrc(s.length);
    s.crc = s.partialCrc;
  }
  return *s.crc;
}

void DataSection::PrepareCrc(uint32_t offset) const {
  state_->AdvanceCrc(std::min(offset, state_->length));
}

uint64_t DataSection::NonBlankChunkCount() const {
  const State& s = *state_;
  return static_cast<uint64_t>(std::count_if(s.pages.begin(), s.pages.end(),
                                             [&s](const auto& entry) { return !s.Blank(entry); }));
}

uint32_t DataSection::NextNonBlankChunk(uint32_t offset) const {
  static_cast<void>(NextNonBlankChunkBytes(offset));
  return offset;
}

std::span<const uint8_t> DataSection::NextNonBlankChunkBytes(uint32_t& offset) const {
  State& s = *state_;
  const uint64_t index = (uint64_t{offset} + kPageSize - 1) / kPageSize;
  offset = s.length;
  if (index * kPageSize >= s.length) return {};
  const auto& nonBlank = s.NonBlank();
  const auto at = std::lower_bound(
      nonBlank.begin(), nonBlank.end(), index,
      [](const State::NonBlankPage& page, uint64_t wanted) { return page.index < wanted; });
  if (at == nonBlank.end()) return {};
  offset = at->index * kPageSize;
  return {at->page->data(), s.PageBytes(at->index)};
}

uint64_t DataSection::StoredBytes() const { return uint64_t{state_->pages.size()} * kPageSize; }

namespace {

// Closes the file on every way out.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() { std::fclose(file); }
};

// Files are read in pieces of this size, so a large one is never held twice.
constexpr size_t kReadPiece = 64 * 1024;

}  // namespace

void LoadBinaryFile(DataSection& section, const std::string& path, ByteDigest* digest) {
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
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(size, kReadPiece)));
  for (uint64_t done = 0; done < size;) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(size - done, piece.size()));
    if (std::fread(piece.data(), 1, want, file) != want) {
      throw Exception(Format("Error reading file \"%s\"", path.c_str()));
    }
    const std::span<const uint8_t> bytes(piece.data(), want);
    if (digest != nullptr) digest->Update(bytes);
    section.AddBytes(static_cast<uint32_t>(section.Base() + done), bytes);
    done += want;
  }
}

namespace {

// Hexadecimal digits by character; -1 for every other character.
constexpr std::array<int8_t, 256> MakeHexDigits() {
  std::array<int8_t, 256> digits{};
  for (int c = 0; c < 256; ++c) {
    digits[static_cast<size_t>(c)] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                                     : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                     : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                                            : int8_t{-1};
  }
  return digits;
}

constexpr std::array<int8_t, 256> kHexDigits = MakeHexDigits();

[[noreturn]] void ThrowInvalidCharacter() { throw Exception("Invalid character in S-record"); }

// The digit at position i; past the end of the line nothing matches, so a record shorter than
// its count says fails like any other bad digit.
int DigitAt(std::string_view line, size_t i) {
  return i < line.size() ? kHexDigits[static_cast<uint8_t>(line[i])] : -1;
}

uint32_t HexValue(std::string_view line, size_t position, size_t digits) {
  uint32_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int digit = DigitAt(line, position + i);
    if (digit < 0) ThrowInvalidCharacter();
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  return value;
}

}  // namespace

int HexDigitValue(char c) {
  const int digit = kHexDigits[static_cast<uint8_t>(c)];
  if (digit < 0) ThrowInvalidCharacter();
  return digit;
}

bool ParseSRecordInto(std::string_view line, DataBlock& block) {
  if (line.size() < 10 || line[0] != 'S' || line[1] != '3') return false;
  const uint32_t count = HexValue(line, 2, 2);
  block.address = HexValue(line, 4, 8);
  // The count covers the four address bytes and the checksum: below 5 the record contradicts
  // itself, and it is refused rather than read as a negative length.
  if (count < 5) ThrowInvalidCharacter();
  const size_t size = count - 5;
  block.bytes.resize(size);
  const auto* text = reinterpret_cast<const uint8_t*>(line.data());
  const size_t available = line.size() > 12 ? (line.size() - 12) / 2 : 0;
  const size_t whole = std::min(size, available);
  for (size_t i = 0; i < whole; ++i) {
    const int high = kHexDigits[text[12 + 2 * i]];
    const int low = kHexDigits[text[13 + 2 * i]];
    if ((high | low) < 0) ThrowInvalidCharacter();
    block.bytes[i] = static_cast<uint8_t>((high << 4) | low);
  }
  // The line ends before the count does: its end is read as a digit and fails.
  if (whole < size) static_cast<void>(HexValue(line, 12 + 2 * whole, 2));
  return true;
}

std::optional<DataBlock> ParseSRecord(std::string_view line) {
  DataBlock block;
  if (!ParseSRecordInto(line, block)) return std::nullopt;
  return block;
}

}  // namespace qor
