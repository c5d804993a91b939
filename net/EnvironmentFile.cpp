#include "net/EnvironmentFile.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"

namespace qor {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

void AppendHexEscape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

// The two places where a byte that would stand for itself is escaped all the same.
std::string EscapedName(std::string_view name) {
  if (!name.empty() && name.front() == '#') return "\\x23" + EscapeEnvironmentText(name.substr(1));
  return EscapeEnvironmentText(name);
}

std::string EscapedValue(std::string_view value) {
  if (!value.empty() && value.back() == ' ') {
    return EscapeEnvironmentText(value.substr(0, value.size() - 1)) + "\\x20";
  }
  return EscapeEnvironmentText(value);
}

}  // namespace

std::string EscapeEnvironmentText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char character : bytes) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte > 0x7E) {
      AppendHexEscape(out, byte);
    } else {
      out += character;
    }
  }
  return out;
}

std::string UnescapeEnvironmentText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
      continue;
    }
    const bool hex = i + 1 < text.size() && text[i + 1] == 'x';
    const int high = hex && i + 3 < text.size() ? HexValue(text[i + 2]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 3]) : -1;
    if (low < 0) {
      const std::string_view found = text.substr(i, hex ? 4 : 2);
      throw Exception(Format("\"%s\" is no escape: write \\\\ for a backslash and \\xHH for a byte",
                             std::string(found).c_str()));
    }
    out += static_cast<char>(high << 4 | low);
    i += 3;
  }
  return out;
}

void CheckEnvironmentEntry(const std::string& name, const std::string& value) {
  if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
    throw Exception(Format("\"%s\" holds a zero byte, which would end its entry in the block",
                           EnvironmentLine(name, value).c_str()));
  }
  if (name.find('=') != std::string::npos) {
    throw Exception(Format("The name \"%s\" holds '=', which would end the name in the block",
                           EscapeEnvironmentText(name).c_str()));
  }
}

std::pair<std::string, std::string> ParseEnvironmentAssignment(std::string_view text) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    throw Exception(Format("\"%s\" is not NAME=VALUE", std::string(text).c_str()));
  }
  std::pair<std::string, std::string> entry{UnescapeEnvironmentText(text.substr(0, equals)),
                                            UnescapeEnvironmentText(text.substr(equals + 1))};
  CheckEnvironmentEntry(entry.first, entry.second);
  return entry;
}

std::string EnvironmentLine(const std::string& name, const std::string& value) {
  return EscapedName(name) + "=" + EscapedValue(value);
}

std::string EnvironmentFileText(const std::map<std::string, std::string>& entries,
                                const std::vector<std::string>& comments) {
  std::string text;
  for (const std::string& comment : comments) text += "# " + comment + "\n";
  for (const auto& [name, value] : entries) text += EnvironmentLine(name, value) + "\n";
  return text;
}

std::map<std::string, std::string> ParseEnvironmentFile(std::string_view text,
                                                        const std::string& fileName) {
  std::map<std::string, std::string> entries;
  std::map<std::string, size_t> lineOf;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#') continue;
    std::pair<std::string, std::string> entry;
    try {
      entry = ParseEnvironmentAssignment(line);
    } catch (const Exception& error) {
      throw Exception(Format("Error in \"%s\", line %zu: %s", fileName.c_str(), number,
                             error.Message().c_str()));
    }
    // Never the first or the last of two: which one the operator meant is not ours to guess.
    if (const auto earlier = lineOf.find(entry.first); earlier != lineOf.end()) {
      throw Exception(Format("Error in \"%s\", line %zu: \"%s\" is given on line %zu already",
                             fileName.c_str(), number, EscapeEnvironmentText(entry.first).c_str(),
                             earlier->second));
    }
    lineOf.emplace(entry.first, number);
    entries.emplace(std::move(entry));
  }
  return entries;
}

std::map<std::string, std::string> ReadEnvironmentFile(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) throw Exception(Format("Cannot open \"%s\"", path.c_str()));
  std::string text;
  char buffer[65536];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  return ParseEnvironmentFile(text, path);
}

void WriteEnvironmentFile(const std::string& path, const std::string& text) {
  const std::string part = path + ".part";
  std::FILE* file = OpenFile(part, "wb");
  if (file == nullptr) throw Exception(Format("Cannot write \"%s\"", path.c_str()));
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  std::error_code error;
  if (written && closed) std::filesystem::rename(part, path, error);
  if (!written || !closed || error) {
    std::filesystem::remove(part, error);
    throw Exception(Format("Cannot write \"%s\"", path.c_str()));
  }
}

}  // namespace qor
