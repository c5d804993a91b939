#pragma once

#include <string>

namespace qor {

// printf-style formatting into a string of any length. Never pass outside text as the format.
[[nodiscard]] std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qor
