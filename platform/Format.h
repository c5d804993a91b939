#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qor {

// The C99 conversions (%zu, %lld) on every system: mingw-w64's own printf on Windows.
#ifdef __MINGW_PRINTF_FORMAT
#define QOR_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define QOR_PRINTF_FORMAT printf
#endif

// printf-style formatting into a string of any length. Never pass outside text as the format.
[[nodiscard]] std::string Format(const char* format, ...)
    __attribute__((format(QOR_PRINTF_FORMAT, 1, 2)));

// Dotted decimal, most significant byte first: 0x7F00000A is "127.0.0.10".
[[nodiscard]] std::string IpAddressText(uint32_t address);

}  // namespace qor
