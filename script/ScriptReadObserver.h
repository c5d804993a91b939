#pragma once

#include <cstdint>
#include <string_view>

namespace qor {

class Directive;

// Shown each group of lines as the script reader takes it, for tools that look closer at a
// script than the reader does (qorctl check's lint). The reader itself never needs one. Lines
// come as they are read, trimmed and with the number each was read under; none is kept, so a
// group of a million records is looked at without being held.
class ScriptReadObserver {
 public:
  // A group begins with its directive line.
  virtual void GroupBegins(std::string_view directiveLine, int32_t lineNumber) = 0;
  // One more line of the group (blank lines and comments are not shown).
  virtual void LineRead(std::string_view line, int32_t lineNumber) = 0;
  // The group has ended. directive is what the registry made of it; null when no parser knew
  // its directive word, so that the reader ignored it with all its lines.
  virtual void GroupRead(const Directive* directive) = 0;

 protected:
  ~ScriptReadObserver() = default;
};

}  // namespace qor
