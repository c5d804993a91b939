#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/DataBlock.h"

namespace qor {

class ByteDigest;

// The image of one area of target memory; every byte starts as 0xFF. Only what files and
// records put there is held, in pages of one download chunk each; the blank rest is implicit,
// so an area of gigabytes with a few records costs a few kilobytes.
class DataSection {
 public:
  // One page holds one 1024-byte chunk, counted from the base, as downloads send them.
  static constexpr uint32_t kPageSize = 1024;

  DataSection(uint32_t base, uint32_t length);
  ~DataSection();
  DataSection(const DataSection&) = delete;
  DataSection& operator=(const DataSection&) = delete;

  [[nodiscard]] uint32_t Base() const;
  [[nodiscard]] uint32_t Length() const;

  // The CRC-32 of all length bytes (0 for an empty section), taken once until the next change.
  [[nodiscard]] uint32_t ImageCrc() const;
  // Takes the CRC over the bytes before offset ahead of time, so that ImageCrc has only the rest
  // to do: a download calls it after each chunk it sends, while the target answers.
  void PrepareCrc(uint32_t offset) const;
  // How many 1024-byte chunks, from the base on, hold a byte other than 0xFF: the chunks that
  // travel when the image is downloaded.
  [[nodiscard]] uint64_t NonBlankChunkCount() const;
  // The offset from the base of the first of those chunks at offset or after it (a multiple
  // of 1024); Length() when none is left.
  [[nodiscard]] uint32_t NextNonBlankChunk(uint32_t offset) const;
  // The same chunk's bytes where the section holds them, its offset in offset (Length() and no
  // bytes when none is left): a download sends them from here, without a copy. Valid while the
  // section is unchanged.
  [[nodiscard]] std::span<const uint8_t> NextNonBlankChunkBytes(uint32_t& offset) const;
  // The bytes held in memory for the image: a multiple of the page size.
  [[nodiscard]] uint64_t StoredBytes() const;

  // Throws Exception("Trying to add too much data to section"); unchanged on failure.
  void AddBlock(const DataBlock& block);
  void AddBytes(uint32_t address, std::span<const uint8_t> bytes);
  // Throws Exception("Trying to extract data from outside section bounds").
  [[nodiscard]] DataBlock ExtractBlock(uint32_t address, uint32_t maximum) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Fills the section from the start with the file's bytes. Throws Exception with the path.
// digest, when given, is fed exactly the bytes that go into the section, as they are read.
void LoadBinaryFile(DataSection& section, const std::string& path, ByteDigest* digest = nullptr);

// An S3 record as a block; nothing for any other line.
// Throws Exception("Invalid character in S-record").
[[nodiscard]] std::optional<DataBlock> ParseSRecord(std::string_view line);
// The same into block, whose storage is reused from record to record; false for another line.
[[nodiscard]] bool ParseSRecordInto(std::string_view line, DataBlock& block);

// 0 to 15; throws Exception("Invalid character in S-record").
[[nodiscard]] int HexDigitValue(char c);

}  // namespace qor
