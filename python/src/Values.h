#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace qor {
struct Target;
struct TargetRun;
class Script;
}  // namespace qor

namespace qor::python {

// The plain records the package hands out: copies, so they stay valid whatever the network
// does next, comparable and printable.

struct PyTarget {
  std::string mac;
  std::optional<std::string> ip;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint32_t staging = 0;
  std::optional<std::string> productName;

  [[nodiscard]] auto Key() const {
    return std::tie(mac, ip, vendor, product, staging, productName);
  }
};

// names, when given, names the product from its *product entries.
[[nodiscard]] PyTarget TargetOf(const Target& target, const Script* names);

struct PyRunResult {
  std::string mac;
  bool ok = false;
  std::string outcome;  // finished, failed, cancelled, timed_out, refused
  std::optional<std::string> error;
  double seconds = 0;
  std::optional<bool> restartConfirmed;
  uint64_t bytesSent = 0;
  uint32_t resends = 0;
};

[[nodiscard]] PyRunResult RunResultOf(const TargetRun& run);

struct PyEnvironment {
  std::string mac;
  uint32_t address = 0;
  uint32_t length = 0;
  std::string state;  // valid, blank, damaged
  pybind11::dict variables;
};

struct PyEnvironmentDiff {
  bool same = false;
  std::string state;
  pybind11::dict added;
  pybind11::dict removed;
  pybind11::dict changed;  // name: (target's, file's)
};

struct PyLintWarning {
  int32_t line = 0;
  std::string text;
  std::string fullText;  // as qorctl check prints it
};

// Names and values of environment blocks are bytes: handed out as str, the bytes that are not
// UTF-8 as surrogate escapes, and taken back from str (the same way) or bytes.
[[nodiscard]] pybind11::str TextOf(const std::string& bytes);
[[nodiscard]] std::string BytesOf(pybind11::handle text, const char* what);

// Adds the classes above to the module.
void AddValues(pybind11::module_& module);

}  // namespace qor::python
