#include "tools/qorctl/JsonWriter.h"

#include <cstdio>

namespace qor::cli {
namespace {

using Json = nlohmann::ordered_json;

// Length of the well-formed UTF-8 sequence that starts at i, or 0 when the byte there does not
// start one (overlong forms, surrogates and code points beyond U+10FFFF included).
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) -> unsigned {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x100u;
  };
  const auto continuation = [&](size_t k) { return byte(k) >= 0x80 && byte(k) <= 0xBF; };
  const unsigned lead = byte(i);
  if (lead < 0x80) return 1;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (!continuation(i + k)) return 0;
  }
  return length;
}

// A JSON string for 8-bit script text: well-formed UTF-8 goes through as it is, and every byte
// that is not part of it becomes one \u00XX escape, so no byte is lost or replaced.
void AppendString(std::string& out, const std::string& text) {
  out += '"';
  std::string run;
  const auto flush = [&] {
    if (run.empty()) return;
    const std::string quoted = Json(run).dump();
    out.append(quoted, 1, quoted.size() - 2);
    run.clear();
  };
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      flush();
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[i]));
      out += escape;
      ++i;
    } else {
      run.append(text, i, length);
      i += length;
    }
  }
  flush();
  out += '"';
}

}  // namespace

void AppendJson(std::string& out, const Json& value) {
  if (value.is_object()) {
    out += '{';
    const char* separator = "";
    for (const auto& [key, member] : value.items()) {
      out += separator;
      AppendString(out, key);
      out += ": ";
      AppendJson(out, member);
      separator = ", ";
    }
    out += '}';
  } else if (value.is_array()) {
    out += '[';
    const char* separator = "";
    for (const Json& element : value) {
      out += separator;
      AppendJson(out, element);
      separator = ", ";
    }
    out += ']';
  } else if (value.is_string()) {
    AppendString(out, value.get_ref<const std::string&>());
  } else {
    out += value.dump();
  }
}

}  // namespace qor::cli
