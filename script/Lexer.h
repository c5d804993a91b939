#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor {

// Splits one script line into bare words and double-quoted strings.
// Throws ParseException("Unbalanced double quotes", 0).
[[nodiscard]] std::vector<std::string> Tokenize(const std::string& line);

// strtol base 0 over the whole token, within the signed 32-bit range.
// Throws ParseException("Invalid numeric constant", 0).
[[nodiscard]] int32_t ParseNumber(const std::string& token);

// Directive names compare without regard to ASCII case.
[[nodiscard]] bool EqualsIgnoreCase(const std::string& a, const char* b);

}  // namespace qor
