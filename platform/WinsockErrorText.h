#pragma once

#include <string>

namespace qor {

// The text for a Windows Sockets error code; "unknown error: 0x%x" for codes outside the table.
[[nodiscard]] std::string WinsockErrorText(int code);

// The Windows Sockets code that stands for a POSIX errno value, so that every OS reports the
// same texts; a value without a counterpart becomes kSystemCallFailure.
[[nodiscard]] int WsaCodeFromErrno(int error);

}  // namespace qor
