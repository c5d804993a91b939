#include <gtest/gtest.h>

#include <string>

#include "tools/qorctl/JsonWriter.h"

namespace qor::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string Written(const Json& value) {
  std::string out;
  AppendJson(out, value);
  return out;
}

// Script text is 8-bit: whatever is well-formed UTF-8 passes as it is, every other byte is kept
// as one \u00XX escape and never replaced or dropped.
TEST(JsonWriter, KeepsEveryByteOfScriptText) {
  struct Row {
    const char* why;
    std::string text;
    std::string json;
  };
  const Row rows[] = {
      {"plain ASCII", "QOR Demo Board", R"("QOR Demo Board")"},
      {"quotes, backslash and control characters escaped", "a\"b\\c\n\x01", R"("a\"b\\c\n\u0001")"},
      {"well-formed two- and three-byte sequences pass", "\xC3\xA9\xE2\x82\xAC",
       "\"\xC3\xA9\xE2\x82\xAC\""},
      {"four-byte sequence up to U+10FFFF passes", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
      {"a Latin-1 byte alone", "caf\xE9", R"("caf\u00e9")"},
      {"overlong form of '/'", "\xC0\xAF", R"("\u00c0\u00af")"},
      {"a surrogate encoded as UTF-8", "\xED\xA0\x80", R"("\u00ed\u00a0\u0080")"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},
      {"a sequence cut short at the end", "ok\xE2\x82", R"("ok\u00e2\u0082")"},
      {"a stray continuation byte between good text", "a\x80z", R"("a\u0080z")"},
      {"a NUL byte", std::string("a\0b", 3), R"("a\u0000b")"},
  };
  for (const Row& row : rows) EXPECT_EQ(Written(row.text), row.json) << row.why;
}

TEST(JsonWriter, OneLineWithABlankAfterEveryColonAndComma) {
  const Json value = {{"file", "x.QOR"},
                      {"ok", true},
                      {"words", Json::array({"a", "b"})},
                      {"empty", Json::array()},
                      {"nested", {{"n", 4294967295u}, {"none", nullptr}}}};
  EXPECT_EQ(Written(value), R"({"file": "x.QOR", "ok": true, "words": ["a", "b"], "empty": [], )"
                            R"("nested": {"n": 4294967295, "none": null}})");
  EXPECT_EQ(Written(Json{{"caf\xE9", 1}}), R"({"caf\u00e9": 1})") << "keys are script text too";
}

}  // namespace
}  // namespace qor::cli
