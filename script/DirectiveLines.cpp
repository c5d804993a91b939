#include "script/DirectiveLines.h"

#include <vector>

#include "script/LineReader.h"
#include "script/ScriptReadObserver.h"

namespace qor {

struct DirectiveLines::State {
  State(LineReader& r, std::string_view line, ScriptReadObserver* o)
      : reader(r), first(line), observer(o) {}
  LineReader& reader;
  std::string first;
  ScriptReadObserver* observer;
  std::vector<int32_t> numbers;  // of the lines given so far, by offset
  int32_t offset = 0;
  bool peeked = false;  // the line in next is read but not yet given
  bool ended = false;   // next holds the following directive line, if any
  bool atFileEnd = false;
  std::string_view next;

  // Reads the group's next line into next; false at the group's end.
  bool ReadNext() {
    if (ended) return false;
    std::string_view line;
    while (reader.Next(line)) {
      if (line.empty() || line[0] == '#') continue;
      next = line;
      if (line[0] == '*') {
        ended = true;
        return false;
      }
      numbers.push_back(reader.LineNumber());
      if (observer != nullptr) observer->LineRead(line, reader.LineNumber());
      return true;
    }
    ended = true;
    atFileEnd = true;
    return false;
  }
};

DirectiveLines::DirectiveLines(LineReader& reader, std::string_view directiveLine,
                               ScriptReadObserver* observer)
    : state_(std::make_unique<State>(reader, directiveLine, observer)) {
  state_->numbers.push_back(reader.LineNumber());
  if (observer != nullptr) observer->GroupBegins(directiveLine, reader.LineNumber());
}

DirectiveLines::~DirectiveLines() = default;

const std::string& DirectiveLines::First() const { return state_->first; }

bool DirectiveLines::Next(std::string_view& line) {
  State& s = *state_;
  if (!s.peeked && !s.ReadNext()) return false;
  s.peeked = false;
  ++s.offset;
  line = s.next;
  return true;
}

bool DirectiveLines::HasMore() {
  State& s = *state_;
  if (!s.peeked) s.peeked = s.ReadNext();
  return s.peeked;
}

int32_t DirectiveLines::Offset() const { return state_->offset; }

int64_t DirectiveLines::LineNumber(int32_t offset) const {
  const std::vector<int32_t>& numbers = state_->numbers;
  if (offset >= 0 && static_cast<size_t>(offset) < numbers.size()) {
    return numbers[static_cast<size_t>(offset)];
  }
  return int64_t{numbers.front()} + offset;
}

bool DirectiveLines::SkipToNextDirective(std::string_view& directiveLine) {
  State& s = *state_;
  std::string_view ignored;
  while (Next(ignored)) {
  }
  if (s.atFileEnd) return false;
  directiveLine = s.next;
  return true;
}

}  // namespace qor
