#include "Values.h"

#include <pybind11/stl.h>

#include "exec/TargetRun.h"
#include "net/Target.h"
#include "platform/Format.h"
#include "script/Script.h"

namespace py = pybind11;

namespace qor::python {
namespace {

const char* OutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kRunning:
      return "running";
    case RunOutcome::kFinished:
      return "finished";
    case RunOutcome::kCurrent:
      return "current";
    case RunOutcome::kFailed:
      return "failed";
    case RunOutcome::kCancelled:
      return "cancelled";
    case RunOutcome::kTimedOut:
      return "timed_out";
    case RunOutcome::kRefused:
      return "refused";
  }
  return "unknown";
}

std::string Repr(py::handle value) { return py::repr(value).cast<std::string>(); }

template <typename T>
std::string OptionalRepr(const std::optional<T>& value) {
  return value ? Repr(py::cast(*value)) : "None";
}

}  // namespace

PyTarget TargetOf(const Target& target, const Script* names) {
  PyTarget copy;
  copy.mac = target.mac.ToString();
  if (target.ipAddress != 0) copy.ip = IpAddressText(target.ipAddress);
  copy.vendor = target.vendorId;
  copy.product = target.productId;
  copy.staging = target.stagingSize;
  if (names != nullptr) {
    const auto& products = names->ProductEntries();
    if (const auto found = products.find(target.Key()); found != products.end()) {
      copy.productName = found->second;
    }
  }
  return copy;
}

PyRunResult RunResultOf(const TargetRun& run) {
  PyRunResult result;
  result.mac = run.target->mac.ToString();
  result.ok = run.Succeeded();
  result.outcome = OutcomeName(run.outcome);
  if (!run.error.empty()) result.error = run.error;
  result.seconds = static_cast<double>(run.elapsedUs) / 1e6;
  result.restartConfirmed = run.restartConfirmed;
  result.bytesSent = run.bytesSent;
  result.resends = run.resends;
  return result;
}

py::str TextOf(const std::string& bytes) {
  PyObject* text =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

std::string BytesOf(py::handle text, const char* what) {
  if (py::isinstance<py::bytes>(text)) return text.cast<std::string>();
  if (!py::isinstance<py::str>(text)) {
    throw py::type_error(
        Format("%s must be str or bytes, not %s", what, Py_TYPE(text.ptr())->tp_name));
  }
  PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
  if (encoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(encoded).cast<std::string>();
}

void AddValues(py::module_& module) {
  py::class_<PyTarget>(module, "Target",
                       "One discovered target, as a copy: later discoveries do not change it.")
      .def(py::init([](std::string mac, std::optional<std::string> ip, uint16_t vendor,
                       uint16_t product, uint32_t staging, std::optional<std::string> name) {
             return PyTarget{std::move(mac), std::move(ip), vendor,
                             product,        staging,       std::move(name)};
           }),
           py::arg("mac"), py::arg("ip") = py::none(), py::arg("vendor") = 0,
           py::arg("product") = 0, py::arg("staging") = 0, py::arg("product_name") = py::none())
      .def_readonly("mac", &PyTarget::mac, "MAC address, such as '02:00:00:00:00:01'.")
      .def_readonly("ip", &PyTarget::ip, "IPv4 address as dotted text; None when it has none.")
      .def_readonly("vendor", &PyTarget::vendor, "Vendor ID.")
      .def_readonly("product", &PyTarget::product, "Product ID.")
      .def_readonly("staging", &PyTarget::staging, "Staging buffer size in bytes.")
      .def_readonly("product_name", &PyTarget::productName,
                    "The product's name from the script given to discover(); None otherwise.")
      .def("__eq__", [](const PyTarget& a, const PyTarget& b) { return a.Key() == b.Key(); })
      .def("__lt__", [](const PyTarget& a, const PyTarget& b) { return a.Key() < b.Key(); })
      .def("__hash__",
           [](const PyTarget& t) {
             return py::hash(
                 py::make_tuple(t.mac, t.ip, t.vendor, t.product, t.staging, t.productName));
           })
      .def("__repr__", [](const PyTarget& t) {
        return Format(
            "Target(mac='%s', ip=%s, vendor=0x%04X, product=0x%04X, staging=%u, "
            "product_name=%s)",
            t.mac.c_str(), OptionalRepr(t.ip).c_str(), t.vendor, t.product, t.staging,
            OptionalRepr(t.productName).c_str());
      });

  py::class_<PyRunResult>(module, "RunResult", "How one target's run ended.")
      .def_readonly("mac", &PyRunResult::mac)
      .def_readonly("ok", &PyRunResult::ok, "True when every directive ran.")
      .def_readonly("outcome", &PyRunResult::outcome,
                    "'finished', 'failed', 'cancelled', 'timed_out' or 'refused' (no address).")
      .def_readonly("error", &PyRunResult::error,
                    "Why the run did not finish, in QOR's words; None when it finished.")
      .def_readonly("seconds", &PyRunResult::seconds, "From the run's start to its end.")
      .def_readonly("restart_confirmed", &PyRunResult::restartConfirmed,
                    "Whether the target answered *restart; None when no *restart ran.")
      .def_readonly("bytes_sent", &PyRunResult::bytesSent, "Request bytes sent to the target.")
      .def_readonly("resends", &PyRunResult::resends, "Requests sent again for want of an answer.")
      .def("__bool__", [](const PyRunResult& r) { return r.ok; })
      .def("__repr__", [](const PyRunResult& r) {
        return Format(
            "RunResult(mac='%s', ok=%s, outcome='%s', error=%s, seconds=%.3f, "
            "restart_confirmed=%s, bytes_sent=%llu, resends=%u)",
            r.mac.c_str(), r.ok ? "True" : "False", r.outcome.c_str(),
            OptionalRepr(r.error).c_str(), r.seconds, OptionalRepr(r.restartConfirmed).c_str(),
            static_cast<unsigned long long>(r.bytesSent), r.resends);
      });

  py::class_<PyEnvironment>(module, "Environment", "A target's environment block as read.")
      .def_readonly("mac", &PyEnvironment::mac)
      .def_readonly("address", &PyEnvironment::address, "The block's address in memory.")
      .def_readonly("length", &PyEnvironment::length, "The block's length in bytes.")
      .def_readonly("state", &PyEnvironment::state,
                    "'valid', 'blank' (every byte 0xFF) or 'damaged' (its CRC does not match).")
      .def_readonly("variables", &PyEnvironment::variables,
                    "{name: value}; empty unless the block is valid.")
      .def("__repr__", [](const PyEnvironment& e) {
        return Format("Environment(mac='%s', address=0x%08X, length=%u, state='%s', variables=%s)",
                      e.mac.c_str(), e.address, e.length, e.state.c_str(),
                      Repr(e.variables).c_str());
      });

  py::class_<PyEnvironmentDiff>(module, "EnvironmentDiff",
                                "What restoring a backup file would change, name by name.")
      .def_readonly("same", &PyEnvironmentDiff::same,
                    "True when the block is valid and holds exactly the file's variables.")
      .def_readonly("state", &PyEnvironmentDiff::state, "The block's state as read.")
      .def_readonly("added", &PyEnvironmentDiff::added, "In the file, not on the target.")
      .def_readonly("removed", &PyEnvironmentDiff::removed, "On the target, not in the file.")
      .def_readonly("changed", &PyEnvironmentDiff::changed,
                    "{name: (target's value, file's value)}.")
      .def("__bool__", [](const PyEnvironmentDiff& d) { return !d.same; })
      .def("__repr__", [](const PyEnvironmentDiff& d) {
        return Format("EnvironmentDiff(same=%s, state='%s', added=%s, removed=%s, changed=%s)",
                      d.same ? "True" : "False", d.state.c_str(), Repr(d.added).c_str(),
                      Repr(d.removed).c_str(), Repr(d.changed).c_str());
      });

  py::class_<PyLintWarning>(module, "LintWarning",
                            "Something QOR reads without a word although it is probably not "
                            "what the author meant.")
      .def_readonly("line", &PyLintWarning::line, "The line; 0 for the script as a whole.")
      .def_readonly("text", &PyLintWarning::text)
      .def("__str__", [](const PyLintWarning& w) { return w.fullText; })
      .def("__eq__", [](const PyLintWarning& a,
                        const PyLintWarning& b) { return a.line == b.line && a.text == b.text; })
      .def("__hash__",
           [](const PyLintWarning& w) { return py::hash(py::make_tuple(w.line, w.text)); })
      .def("__repr__", [](const PyLintWarning& w) {
        return Format("LintWarning(line=%d, text=%s)", w.line, Repr(py::str(w.text)).c_str());
      });
}

}  // namespace qor::python
