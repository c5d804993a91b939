#pragma once

#include <string>

namespace qor {

// The text for a Windows Sockets error code; "unknown error: 0x%x" for codes outside the table.
[[nodiscard]] std::string WinsockErrorText(int code);

}  // namespace qor
