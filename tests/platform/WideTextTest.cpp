#include <gtest/gtest.h>

#include "platform/WideText.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <clocale>
#include <string>
#endif

namespace qor {
namespace {

TEST(WideTextTest, PlainTextGoesBothWaysUnchanged) {
  EXPECT_EQ(WidenText("Sending 00020000"), L"Sending 00020000");
  EXPECT_EQ(NarrowText(L"Sending 00020000"), "Sending 00020000");
  EXPECT_EQ(WidenText(""), L"");
  EXPECT_EQ(NarrowText(L""), "");
}

#ifdef _WIN32
// The window and file systems get the code page's characters, and hand back what it can hold.
TEST(WideTextTest, TheThreadsAnsiCodePageAtTheBoundary) {
  if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << GetACP();
  EXPECT_EQ(WidenText("caf\xE9 \x80"), L"caf\u00e9 \u20ac");
  EXPECT_EQ(NarrowText(L"caf\u00e9 \u20ac"), "caf\xE9 \x80");
  // No counterpart in the code page: the default character.
  EXPECT_EQ(NarrowText(L"\u4e2d"), "?");
}
#endif

// A byte sequence the code page does not define: all or nothing gives nothing, best effort
// gives the rest with the system's replacement in its place.
TEST(WideTextTest, AnUndefinedSequenceEmptiesAStrictTextAndIsReplacedInALenientOne) {
#ifdef _WIN32
  // A Japanese thread code page (932): the lead byte 0x82 needs a second byte.
  const LCID before = GetThreadLocale();
  SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
  const std::string odd = "Sending\x82";
  const std::wstring strict = WidenText(odd, TextConversion::kStrict);
  const std::wstring lenient = WidenText(odd, TextConversion::kLenient);
  const std::wstring byDefault = WidenText(odd);
  const std::wstring whole = WidenText("\x82\xA0", TextConversion::kStrict);  // a whole pair
  SetThreadLocale(before);
  EXPECT_EQ(strict, L"");
  EXPECT_EQ(byDefault, L"") << "paths and the like are all or nothing";
  ASSERT_EQ(lenient.size(), 8u);
  EXPECT_EQ(lenient.substr(0, 7), L"Sending");
  EXPECT_NE(lenient[7], L'\0');
  EXPECT_EQ(whole.size(), 1u);
#else
  const std::string before = std::setlocale(LC_CTYPE, nullptr);
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  const std::wstring strict = WidenText("Caf\xE9 ok", TextConversion::kStrict);
  const std::wstring byDefault = WidenText("Caf\xE9 ok");
  const std::wstring lenient = WidenText("Caf\xE9 ok", TextConversion::kLenient);
  const std::wstring cutOff = WidenText("Caf\xC3", TextConversion::kLenient);
  const std::wstring whole = WidenText("Caf\xC3\xA9", TextConversion::kStrict);
  std::setlocale(LC_CTYPE, before.c_str());
  EXPECT_EQ(strict, L"");
  EXPECT_EQ(byDefault, L"") << "paths and the like are all or nothing";
  EXPECT_EQ(lenient, L"Caf\uFFFD ok");
  EXPECT_EQ(cutOff, L"Caf\uFFFD");
  EXPECT_EQ(whole, L"Caf\u00e9");
#endif
}

}  // namespace
}  // namespace qor
