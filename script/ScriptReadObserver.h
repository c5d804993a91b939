#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor {

class Directive;

// Shown each group of lines as the script reader takes it, for tools that look closer at a
// script than the reader does (qorctl check's lint). The reader itself never needs one.
class ScriptReadObserver {
 public:
  // One group: the directive line first, then its data lines, each trimmed and with the number
  // it was read under. directive is what the registry made of the group; null when no parser
  // knew its directive word, so that the reader ignored it with all its lines.
  virtual void GroupRead(const std::vector<std::string>& lines,
                         const std::vector<int32_t>& lineNumbers, const Directive* directive) = 0;

 protected:
  ~ScriptReadObserver() = default;
};

}  // namespace qor
