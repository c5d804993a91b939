#include "script/LineReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "platform/Files.h"
#include "script/ByteDigest.h"

namespace qor {
namespace {

constexpr size_t kBlock = 1024 * 1024;
// The longest line a line buffer of 256 bytes holds, without its terminating NUL.
constexpr size_t kLineLimit = 255;
// What must be in the buffer to cut the next line: 255 characters and the line feed after
// them, whose carriage return (dropped in text mode) may be the 255th.
constexpr size_t kLookahead = kLineLimit + 1;

constexpr char kTrimSet[] = " \t\f\v\n\r";

std::string_view Trimmed(std::string_view line) {
  const size_t first = line.find_first_not_of(kTrimSet);
  if (first == std::string_view::npos) return {};
  const size_t last = line.find_last_not_of(kTrimSet);
  return line.substr(first, last - first + 1);
}

}  // namespace

struct LineReader::State {
  std::FILE* file = nullptr;
  ByteDigest* digest = nullptr;
  // Not cleared first: a small script touches only the pages it is read into.
  std::unique_ptr<char[]> buffer;
  size_t position = 0;  // of the next line in buffer
  size_t end = 0;       // of what was read into buffer
  bool atEnd = false;   // nothing more to read from the file
  bool failed = false;
  int32_t lineNumber = 0;

  // Moves what is left to the front and reads more behind it.
  void Refill() {
    std::memmove(buffer.get(), buffer.get() + position, end - position);
    end -= position;
    position = 0;
    const size_t wanted = kBlock - end;
    const size_t got = std::fread(buffer.get() + end, 1, wanted, file);
    if (digest != nullptr) {
      digest->Update(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer.get() + end), got));
    }
    end += got;
    if (got < wanted) {
      atEnd = true;
      failed = std::ferror(file) != 0;
    }
  }
};

LineReader::LineReader(const std::string& fileName, ByteDigest* digest)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.digest = digest;
  s.file = OpenFile(fileName, "rb");
  if (s.file == nullptr) return;
  s.buffer.reset(new char[kBlock]);
  s.Refill();
}

LineReader::~LineReader() {
  if (state_->file != nullptr) std::fclose(state_->file);
}

bool LineReader::Opened() const { return state_->file != nullptr && !state_->failed; }
bool LineReader::Failed() const { return state_->failed; }
int32_t LineReader::LineNumber() const { return state_->lineNumber; }

bool LineReader::Next(std::string_view& line) {
  State& s = *state_;
  if (s.file == nullptr) return false;
  if (s.end - s.position < kLookahead && !s.atEnd) s.Refill();
  if (s.position == s.end) return false;

  const char* const start = s.buffer.get() + s.position;
  const size_t window = std::min(kLookahead, s.end - s.position);
  const auto* feed = static_cast<const char*>(std::memchr(start, '\n', window));
  size_t length = 0;  // of the raw piece
  if (feed != nullptr) {
    length = static_cast<size_t>(feed - start) + 1;
    // Text mode drops the carriage return before a line feed; it does not count.
    const size_t counted = length - (length > 1 && feed[-1] == '\r' ? 1 : 0);
    if (counted > kLineLimit) length = kLineLimit;
  } else {
    // No line feed within reach: 255 characters, or what the file has left.
    length = std::min(kLineLimit, window);
  }
  s.position += length;
  ++s.lineNumber;

  std::string_view piece(start, length);
  piece = piece.substr(0, piece.find('\0'));
  line = Trimmed(piece);
  return true;
}

}  // namespace qor
