#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace qor {

// The program's error: a finished text for the operator. Thrown by value, caught by reference.
class Exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A directive parser's complaint about one line of its group. Deliberately not an Exception:
// only the script reader catches it, and turns it into one that names the file and the line.
class ParseException {
 public:
  ParseException(std::string message, int32_t lineOffset)
      : message_(std::move(message)), lineOffset_(lineOffset) {}
  [[nodiscard]] const std::string& Message() const noexcept { return message_; }
  // 0 for the directive line itself, 1 for the first line after it, and so on.
  [[nodiscard]] int32_t LineOffset() const noexcept { return lineOffset_; }

 private:
  std::string message_;
  int32_t lineOffset_;
};

}  // namespace qor
