#include "platform/WideText.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <cwchar>
#endif

namespace qor {

#ifdef _WIN32

std::wstring WidenText(const std::string& text, TextConversion conversion) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  // Without the flag the system puts its default character where a sequence is not defined.
  const DWORD flags = conversion == TextConversion::kStrict ? MB_ERR_INVALID_CHARS : 0;
  const int size = MultiByteToWideChar(CP_THREAD_ACP, flags, text.data(), length, nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_THREAD_ACP, flags, text.data(), length, wide.data(), size);
  return wide;
}

std::string NarrowText(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

#else

std::wstring WidenText(const std::string& text, TextConversion conversion) {
  std::wstring wide;
  std::mbstate_t state{};
  const char* next = text.data();
  const char* end = text.data() + text.size();
  while (next < end) {
    wchar_t character = 0;
    const size_t used = std::mbrtowc(&character, next, static_cast<size_t>(end - next), &state);
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
      if (conversion == TextConversion::kStrict) return {};
      // One replacement character per byte that does not start a character here.
      wide.push_back(L'\uFFFD');
      state = std::mbstate_t{};
      ++next;
      continue;
    }
    wide.push_back(character);
    next += used == 0 ? 1 : used;
  }
  return wide;
}

std::string NarrowText(const std::wstring& text) {
  std::string narrow;
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (const wchar_t character : text) {
    const size_t used = std::wcrtomb(bytes, character, &state);
    if (used == static_cast<size_t>(-1)) {
      narrow.push_back('?');
      state = std::mbstate_t{};
    } else {
      narrow.append(bytes, used);
    }
  }
  return narrow;
}

#endif

}  // namespace qor
