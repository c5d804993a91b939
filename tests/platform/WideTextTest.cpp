#include <gtest/gtest.h>

#include "platform/WideText.h"

#ifdef _WIN32
#include <windows.h>
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

}  // namespace
}  // namespace qor
