#include "platform/Terminal.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace qor {

#ifdef _WIN32

namespace {
HANDLE ConsoleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}
}  // namespace

bool IsTerminal(std::FILE* stream) {
  const HANDLE console = ConsoleOf(stream);
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

TerminalSize GetTerminalSize(std::FILE* stream) {
  TerminalSize size;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(ConsoleOf(stream), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (columns > 0) size.columns = columns;
    if (rows > 0) size.rows = rows;
  }
  return size;
}

#else

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

TerminalSize GetTerminalSize(std::FILE* stream) {
  TerminalSize size;
  winsize window{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &window) == 0) {
    if (window.ws_col > 0) size.columns = window.ws_col;
    if (window.ws_row > 0) size.rows = window.ws_row;
  }
  return size;
}

#endif

void WriteBytesAsTheyAre(std::FILE* stream) {
#ifdef _WIN32
  std::fflush(stream);
  _setmode(_fileno(stream), _O_BINARY);
#else
  (void)stream;
#endif
}

}  // namespace qor
