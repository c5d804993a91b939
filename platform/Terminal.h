#pragma once

#include <cstdio>

namespace qor {

// Whether stream writes to a terminal (a console window on Windows) rather than a file or pipe.
[[nodiscard]] bool IsTerminal(std::FILE* stream);

}  // namespace qor
