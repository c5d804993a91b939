#include "Errors.h"

#include <regex>

#include "platform/Exception.h"

namespace py = pybind11;

namespace qor::python {
namespace {

ErrorTypes* types = nullptr;

py::object NewError(py::module_& module, const char* name, py::handle bases, const char* doc) {
  const std::string full = std::string("qor.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(full.c_str(), doc, bases.ptr(), nullptr);
  if (type == nullptr) throw py::error_already_set();
  py::object object = py::reinterpret_steal<py::object>(type);
  module.add_object(name, object);
  return object;
}

// The exception instance is made here so that ScriptError carries its attributes.
struct ScriptErrorPending {
  std::string text;
  std::string path;
};

}  // namespace

void AddErrors(py::module_& module) {
  types = new ErrorTypes();  // lives as long as the interpreter holds the module
  types->error = NewError(module, "Error", PyExc_Exception,
                          "Every error QOR reports; str() is QOR's own text for the operator.");
  types->script = NewError(module, "ScriptError", types->error,
                           "A script that does not read. Attributes: file (the script's path as "
                           "the error names it) and line (a number, or None).");
  types->network = NewError(module, "NetworkError", types->error,
                            "The network could not be used: the socket, an adapter, a "
                            "broadcast that could not be sent.");
  types->run = NewError(module, "RunError", types->error,
                        "An operation on a target failed: a request the target refused, "
                        "silence past a limit, a time limit.");
  types->refused = NewError(module, "RefusedError", types->error,
                            "Refused before anything was sent: an address no target can hold, "
                            "a block that would lose a variable, a product the script does not "
                            "name.");
  types->notFound = NewError(module, "NotFoundError", types->error,
                             "The target asked for did not answer the discovery.");
  types->usage =
      NewError(module, "UsageError", py::make_tuple(types->error, py::handle(PyExc_ValueError)),
               "An argument QOR cannot take, such as a MAC address that does not "
               "parse; also a ValueError.");

  py::register_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const Raise& raise) {
      PyErr_SetString(raise.Type().ptr(), raise.Text().c_str());
    } catch (const ScriptErrorPending& script) {
      static const std::regex where(
          R"re(^(?:Error in|Cannot open) "([^"]*)"(?:,.*?line (\d+))?)re");
      std::smatch match;
      py::object file = py::str(script.path);
      py::object line = py::none();
      if (std::regex_search(script.text, match, where)) {
        file = py::str(match[1].str());
        if (match[2].matched) line = py::int_(std::stol(match[2].str()));
      }
      py::object error = types->script(script.text);
      error.attr("file") = file;
      error.attr("line") = line;
      PyErr_SetObject(types->script.ptr(), error.ptr());
    } catch (const Exception& error) {
      PyErr_SetString(types->error.ptr(), error.Message().c_str());
    }
  });
}

const ErrorTypes& Errors() { return *types; }

void RaiseScriptError(const std::string& text, const std::string& path) {
  throw ScriptErrorPending{text, path};
}

}  // namespace qor::python
