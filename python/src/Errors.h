#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace qor::python {

// The package's exception classes, made once when the module is loaded.
struct ErrorTypes {
  pybind11::object error;     // qor.Error: every error QOR itself reports
  pybind11::object script;    // qor.ScriptError: a script that does not read
  pybind11::object network;   // qor.NetworkError: the socket, an adapter, a broadcast
  pybind11::object run;       // qor.RunError: an operation on a target failed
  pybind11::object refused;   // qor.RefusedError: refused before anything was sent
  pybind11::object notFound;  // qor.NotFoundError: the target did not answer the discovery
  pybind11::object usage;     // qor.UsageError: an argument QOR cannot take (also ValueError)
};

// Makes the classes and registers the translation of QOR's errors; called once.
void AddErrors(pybind11::module_& module);
[[nodiscard]] const ErrorTypes& Errors();

// Thrown inside the bindings to raise one of the classes above with QOR's text.
class Raise {
 public:
  Raise(pybind11::handle type, std::string text) : type_(type), text_(std::move(text)) {}
  [[nodiscard]] pybind11::handle Type() const { return type_; }
  [[nodiscard]] const std::string& Text() const { return text_; }

 private:
  pybind11::handle type_;
  std::string text_;
};

// The reader's error as a ScriptError whose file and line come from its text ("Error in
// \"x.QOR\", line 7: ...", "Cannot open \"x.QOR\""), else file is path; line is None when the
// text names none.
[[noreturn]] void RaiseScriptError(const std::string& text, const std::string& path);

}  // namespace qor::python
