#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qor {

class LineReader;
class ScriptReadObserver;

// One directive's group of lines as the script reader hands it to a parser: the directive
// line, then the lines up to the next directive line, read from the file only as the parser
// asks for them, so that a group of a million S-records is never held. Blank lines and
// comments inside the group are skipped but keep their numbers.
class DirectiveLines {
 public:
  // The group whose directive line, trimmed, reader gave last. observer, when given, is shown
  // the group's lines as they are read.
  DirectiveLines(LineReader& reader, std::string_view directiveLine,
                 ScriptReadObserver* observer = nullptr);
  ~DirectiveLines();
  DirectiveLines(const DirectiveLines&) = delete;
  DirectiveLines& operator=(const DirectiveLines&) = delete;

  [[nodiscard]] const std::string& First() const;
  // The group's next line, trimmed; valid until the next call. False at the end of the group.
  bool Next(std::string_view& line);
  // Whether another line follows in the group; Next gives it.
  [[nodiscard]] bool HasMore();
  // The offset in the group of the line Next gave last: 0 for the directive line.
  [[nodiscard]] int32_t Offset() const;
  // The file's number of the line at offset, for offsets read so far; counted on from the
  // directive line for the others.
  [[nodiscard]] int64_t LineNumber(int32_t offset) const;

  // Skips what the parser left of the group. Returns the next group's directive line (valid
  // until the reader moves on), or false at the end of the file.
  bool SkipToNextDirective(std::string_view& directiveLine);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
