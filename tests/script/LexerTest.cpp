#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Exception.h"
#include "script/Lexer.h"

namespace qor {
namespace {

using Words = std::vector<std::string>;

std::string ParseError(const std::string& line) {
  try {
    (void)Tokenize(line);
  } catch (const ParseException& error) {
    EXPECT_EQ(error.LineOffset(), 0);
    return error.Message();
  }
  return "";
}

std::string NumberError(const std::string& token) {
  try {
    (void)ParseNumber(token);
  } catch (const ParseException& error) {
    EXPECT_EQ(error.LineOffset(), 0);
    return error.Message();
  }
  return "";
}

TEST(Tokenize, SplitsOnTheFiveDelimitersOnly) {
  EXPECT_EQ(Tokenize("*download 0x1000 256"), (Words{"*download", "0x1000", "256"}));
  EXPECT_EQ(Tokenize("  a \t\f b\t\t c  "), (Words{"a", "b", "c"}));
  EXPECT_EQ(Tokenize("a\rb\nc"), (Words{"a", "b", "c"}));
  // A vertical tab is not a delimiter of the lexer.
  EXPECT_EQ(Tokenize("a\vb"), (Words{"a\vb"}));
  EXPECT_TRUE(Tokenize("").empty());
  EXPECT_TRUE(Tokenize(" \t \f").empty());
}

TEST(Tokenize, QuotedWordsKeepTheirBlanks) {
  EXPECT_EQ(Tokenize("*section \"Boot loader\""), (Words{"*section", "Boot loader"}));
  EXPECT_EQ(Tokenize("*section \"\""), (Words{"*section", ""}));
  EXPECT_EQ(Tokenize("\"abc\"def"), (Words{"abc", "def"}));
  EXPECT_EQ(Tokenize("\"a\"\"b\""), (Words{"a", "b"}));
  EXPECT_EQ(Tokenize("abc\"def"), (Words{"abc\"def"}));
  EXPECT_EQ(Tokenize("x \" \t a \""), (Words{"x", " \t a "}));
}

TEST(Tokenize, UnbalancedQuotes) {
  EXPECT_EQ(ParseError("*section \"Boot"), "Unbalanced double quotes");
  EXPECT_EQ(ParseError("*section \""), "Unbalanced double quotes");
  EXPECT_EQ(ParseError("\""), "Unbalanced double quotes");
  EXPECT_EQ(ParseError("\"a\" \"b"), "Unbalanced double quotes");
  EXPECT_EQ(ParseError("\"a\" b\""), "");  // a quote inside a bare word is ordinary
}

TEST(ParseNumber, FollowsStrtolBaseZero) {
  EXPECT_EQ(ParseNumber("0x1F"), 31);
  EXPECT_EQ(ParseNumber("0X1f"), 31);
  EXPECT_EQ(ParseNumber("017"), 15);
  EXPECT_EQ(ParseNumber("0"), 0);
  EXPECT_EQ(ParseNumber("-1"), -1);
  EXPECT_EQ(static_cast<uint32_t>(ParseNumber("-1")), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("+7"), 7);
  EXPECT_EQ(ParseNumber(" 12"), 12);
  EXPECT_EQ(ParseNumber("\t\v\f\r\n12"), 12);
  EXPECT_EQ(ParseNumber("2147483647"), 2147483647);
  EXPECT_EQ(ParseNumber("0x7FFFFFFF"), 0x7FFFFFFF);
  EXPECT_EQ(ParseNumber("-2147483648"), INT32_MIN);
  EXPECT_EQ(static_cast<uint32_t>(ParseNumber("-0x80000000")), 0x80000000u);
  EXPECT_EQ(ParseNumber("-0x10"), -16);
}

TEST(ParseNumber, RejectsAnythingElse) {
  for (const char* bad : {"12 ",
                          "08",
                          "09",
                          "0x",
                          "-",
                          "+",
                          "",
                          " ",
                          "0x80000000",
                          "2147483648",
                          "-2147483649",
                          "0xFFFFFFFF",
                          "99999999999999999999",
                          "10h",
                          "5U",
                          "1.5",
                          "0b101",
                          "-0B1",
                          "x10",
                          "1e3",
                          "--1"}) {
    EXPECT_EQ(NumberError(bad), "Invalid numeric constant") << '"' << bad << '"';
  }
  EXPECT_EQ(NumberError(std::string("12\0", 3)), "Invalid numeric constant");
}

TEST(EqualsIgnoreCase, ComparesAsciiLettersOnly) {
  EXPECT_TRUE(EqualsIgnoreCase("*RESTART", "*restart"));
  EXPECT_TRUE(EqualsIgnoreCase("*ReStArT", "*restart"));
  EXPECT_FALSE(EqualsIgnoreCase("*restarts", "*restart"));
  EXPECT_FALSE(EqualsIgnoreCase("*restar", "*restart"));
  EXPECT_FALSE(EqualsIgnoreCase(std::string("*restart\0", 9), "*restart"));
  EXPECT_FALSE(EqualsIgnoreCase("\xC9", "\xE9"));  // no case folding beyond ASCII
}

}  // namespace
}  // namespace qor
