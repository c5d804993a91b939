#include "script/Lexer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/Exception.h"

namespace qor {
namespace {

// The lexer's delimiters. Vertical tab is deliberately not one (the reader's trimming has it).
constexpr char kDelimiters[] = " \t\r\n\f";

bool IsDelimiter(char c) {
  for (const char* d = kDelimiters; *d != '\0'; ++d) {
    if (c == *d) return true;
  }
  return false;
}

[[noreturn]] void ThrowUnbalanced() { throw ParseException("Unbalanced double quotes", 0); }
[[noreturn]] void ThrowInvalidNumber() { throw ParseException("Invalid numeric constant", 0); }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::vector<std::string> Tokenize(const std::string& line) {
  std::vector<std::string> tokens;
  const size_t n = line.size();
  size_t p = 0;
  while (p < n) {
    size_t s = p;
    while (s < n && IsDelimiter(line[s])) ++s;
    if (s == n) break;
    if (line[s] == '"') {
      if (s + 1 >= n) ThrowUnbalanced();
      const size_t close = line.find('"', s + 1);
      if (close == std::string::npos) ThrowUnbalanced();
      tokens.push_back(line.substr(s + 1, close - s - 1));
      p = close + 1;  // a token may follow a closing quote directly
    } else {
      size_t e = s;
      while (e < n && !IsDelimiter(line[e])) ++e;
      tokens.push_back(line.substr(s, e - s));
      p = e;
    }
  }
  return tokens;
}

int32_t ParseNumber(const std::string& token) {
  const char* start = token.c_str();
  // A C library that follows C23 would read "0b101" as binary under base 0; scripts were always
  // read with the older rules, where that token is invalid.
  const char* q = start;
  while (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\v' || *q == '\f' || *q == '\r') ++q;
  if (*q == '+' || *q == '-') ++q;
  if (q[0] == '0' && (q[1] == 'b' || q[1] == 'B')) ThrowInvalidNumber();

  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(start, &end, 0);
  if (end == start || end != start + token.size() || errno == ERANGE || value < INT32_MIN ||
      value > INT32_MAX) {
    ThrowInvalidNumber();
  }
  return static_cast<int32_t>(value);
}

bool EqualsIgnoreCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == '\0' || LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return b[i] == '\0';
}

}  // namespace qor
