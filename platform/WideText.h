#pragma once

#include <string>

namespace qor {

// The program holds its texts as 8-bit strings in the thread's ANSI code page; the Windows
// window and file systems take UTF-16. (Elsewhere: the multibyte encoding of the C locale.)

// Empty when the text holds a byte sequence the code page does not define.
[[nodiscard]] std::wstring WidenText(const std::string& text);
// A character the code page cannot hold becomes its default character ('?').
[[nodiscard]] std::string NarrowText(const std::wstring& text);

}  // namespace qor
