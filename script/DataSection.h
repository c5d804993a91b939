#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/DataBlock.h"

namespace qor {

// The image of one area of target memory; every byte starts as 0xFF.
class DataSection {
 public:
  DataSection(uint32_t base, uint32_t length);
  ~DataSection();
  DataSection(const DataSection&) = delete;
  DataSection& operator=(const DataSection&) = delete;

  [[nodiscard]] uint32_t Base() const;
  [[nodiscard]] uint32_t Length() const;
  // The length bytes of the area; nullptr when the length is 0.
  [[nodiscard]] const uint8_t* Bytes() const;
  [[nodiscard]] uint8_t* MutableBytes();

  // The CRC-32 of all length bytes (0 for an empty section).
  [[nodiscard]] uint32_t ImageCrc() const;
  // How many 1024-byte chunks, from the base on, hold a byte other than 0xFF: the chunks that
  // travel when the image is downloaded.
  [[nodiscard]] uint64_t NonBlankChunkCount() const;

  // Throws Exception("Trying to add too much data to section"); unchanged on failure.
  void AddBlock(const DataBlock& block);
  // Throws Exception("Trying to extract data from outside section bounds").
  [[nodiscard]] DataBlock ExtractBlock(uint32_t address, uint32_t maximum) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Fills the section from the start with the file's bytes. Throws Exception with the path.
void LoadBinaryFile(DataSection& section, const std::string& path);

// An S3 record as a block; nothing for any other line.
// Throws Exception("Invalid character in S-record").
[[nodiscard]] std::optional<DataBlock> ParseSRecord(const std::string& line);

// 0 to 15; throws Exception("Invalid character in S-record").
[[nodiscard]] int HexDigitValue(char c);

}  // namespace qor
