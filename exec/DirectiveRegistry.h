#pragma once

#include <span>

#include "script/Directive.h"

namespace qor {

// The fixed, ordered table of directive parsers the script reader tries for every group; the
// first that returns a directive wins: *product/*script, *section, *download,
// *loadenv/*saveenv, *setenv, *editenv, *restart.
[[nodiscard]] std::span<const DirectiveParser> DirectiveRegistry();

}  // namespace qor
