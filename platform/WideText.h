#pragma once

#include <string>

namespace qor {

// The program holds its texts as 8-bit strings in the thread's ANSI code page; the Windows
// window and file systems take UTF-16. (Elsewhere: the multibyte encoding of the C locale.)

// What becomes of a text that holds a byte sequence the code page does not define.
enum class TextConversion {
  kLenient,  // best effort: such sequences become replacement characters, the rest is kept
  kStrict,   // all or nothing: the text becomes empty
};

[[nodiscard]] std::wstring WidenText(const std::string& text,
                                     TextConversion conversion = TextConversion::kStrict);
// A character the code page cannot hold becomes its default character ('?').
[[nodiscard]] std::string NarrowText(const std::wstring& text);

}  // namespace qor
