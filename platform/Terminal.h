#pragma once

#include <cstdio>

namespace qor {

// Whether stream writes to a terminal that takes the cursor movements of live progress lines
// rather than to a file or pipe: a POSIX terminal, or a Windows console once its virtual
// terminal processing is on (this call switches it on; a console that refuses is no such
// terminal, and gets one line per change like a file).
[[nodiscard]] bool IsTerminal(std::FILE* stream);

// The visible part of the terminal, in characters.
struct TerminalSize {
  int columns = 80;
  int rows = 24;
};
// 80 by 24 when the system cannot tell.
[[nodiscard]] TerminalSize GetTerminalSize(std::FILE* stream);

// Makes stream write its bytes as they are: Windows would write each "\n" of a text-mode stream
// as "\r\n", so text that carries its own CR LF (CSV) would get two CRs. Elsewhere nothing.
void WriteBytesAsTheyAre(std::FILE* stream);

}  // namespace qor
