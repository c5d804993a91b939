#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qor {

class ByteDigest;

// A script file's lines, read in large blocks and handed out one by one without copying.
// Lines are read as a 256-byte line buffer in text mode reads them: CR LF counts as LF, a
// line holds at most 255 characters (a longer one goes on as the next line, under a number of
// its own) and ends at its first NUL; each comes trimmed of blanks and line ends.
class LineReader {
 public:
  // Opens the file and reads its first block; Opened() says whether that worked. digest, when
  // given, is fed every byte as it is read from the file.
  explicit LineReader(const std::string& fileName, ByteDigest* digest = nullptr);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Opened and readable (a folder, say, is not).
  [[nodiscard]] bool Opened() const;
  // The next line, empty when blank; valid until the next call. False at the end of the file.
  bool Next(std::string_view& line);
  // The number of the line Next gave last, from 1.
  [[nodiscard]] int32_t LineNumber() const;
  // Reading stopped early because the file could not be read.
  [[nodiscard]] bool Failed() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
