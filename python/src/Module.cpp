// The qor package's native part: the core's network, scripts, run engine, environment access
// and station, with Python's types at the edges and nothing of its own in between.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Errors.h"
#include "QorVersion.h"
#include "Values.h"
#include "exec/EnvironmentAccess.h"
#include "exec/RunObserver.h"
#include "exec/RunSession.h"
#include "net/AddressAssignment.h"
#include "net/AddressRange.h"
#include "net/Discovery.h"
#include "net/EnvironmentFile.h"
#include "net/NetworkSetup.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "platform/TrustedKeyFolders.h"
#include "script/ScriptDisplay.h"
#include "station/AddressPool.h"
#include "station/RunnableScript.h"
#include "station/Station.h"
#include "station/StationObserver.h"
#include "station/StationRecord.h"
#include "station/UnitValues.h"

namespace py = pybind11;
using namespace py::literals;

namespace qor::python {
namespace {

[[noreturn]] void Fail(py::handle type, std::string text) { throw Raise(type, std::move(text)); }

// ---- arguments

MacAddress MacOf(py::handle value) {
  std::string text;
  if (py::isinstance<PyTarget>(value)) {
    text = value.cast<const PyTarget&>().mac;
  } else if (py::isinstance<py::str>(value)) {
    text = value.cast<std::string>();
  } else {
    throw py::type_error(Format("a target is a qor.Target or a MAC address as str, not %s",
                                Py_TYPE(value.ptr())->tp_name));
  }
  const std::optional<MacAddress> mac = MacAddress::Parse(text);
  if (!mac) Fail(Errors().usage, "not a MAC address such as 00:1A:2B:3C:4D:5E: " + text);
  return *mac;
}

uint32_t AddressOf(const std::string& text, const char* what) {
  const std::optional<uint32_t> address = ParseIpAddress(text);
  if (!address) Fail(Errors().usage, Format("%s is not an IPv4 address: %s", what, text.c_str()));
  return *address;
}

// Seconds from Python as milliseconds within [0, most] (NaN refused too).
uint32_t Milliseconds(double seconds, double mostSeconds, const char* what, bool zero = true) {
  if (!(zero ? seconds >= 0 : seconds > 0) || !(seconds <= mostSeconds)) {
    Fail(Errors().usage, Format("%s must be a number of seconds %s %s and at most %.0f", what,
                                zero ? "from" : "above", "0", mostSeconds));
  }
  return static_cast<uint32_t>(std::ceil(seconds * 1000.0));
}

constexpr double kMostWaitSeconds = 3600;

RunPace PaceOf(const std::string& pace) {
  if (pace == "fast") return RunPace::kFast;
  if (pace == "tick") return RunPace::kTick;
  Fail(Errors().usage, "pace must be 'fast' or 'tick', not '" + pace + "'");
}

std::string PathOf(py::handle path) {
  return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

// The keys trusted to sign scripts, from the folders the programs read them from; none when
// unsigned scripts are allowed.
TrustedKeys KeysOf(bool allowUnsigned) {
  if (allowUnsigned) return TrustedKeys();
  TrustedKeys keys = TrustedKeys::Load(TrustedKeyFolders(ExecutableDirectory().value_or(".")));
  for (const std::string& path : keys.UnreadableFiles()) {
    const std::string text =
        Format("\"%s\" is not a minisign public key; it trusts no signature", path.c_str());
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw py::error_already_set();
  }
  return keys;
}

void Warn(const std::string& text) {
  if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 2) != 0) throw py::error_already_set();
}

// ---- scripts

class PyScript {
 public:
  PyScript(py::handle path, bool allowUnsigned) : given_(PathOf(path)) {
    const TrustedKeys keys = KeysOf(allowUnsigned);
    try {
      runnable_ = ReadRunnableScript(given_, keys);
    } catch (const Exception& error) {
      RaiseScriptError(error.Message(), given_);
    }
  }

  [[nodiscard]] const Script& Read() const { return *runnable_.read.script; }
  [[nodiscard]] const RunnableScript& Runnable() const { return runnable_; }
  [[nodiscard]] const std::string& Given() const { return given_; }

  [[nodiscard]] py::dict Products() const {
    py::dict products;
    for (const auto& [key, name] : Read().ProductEntries()) {
      products[py::make_tuple(key.vendorId, key.productId)] = name;
    }
    return products;
  }

  [[nodiscard]] py::dict Scripts() const {
    py::dict scripts;
    for (const ProductKey& key : Read().ScriptTargets()) {
      scripts[py::make_tuple(key.vendorId, key.productId)] = Read().ScriptDescription(key);
    }
    return scripts;
  }

  [[nodiscard]] py::list Directives() const {
    py::list directives;
    for (int32_t i = 0; i < Read().DirectiveCount(); ++i) {
      const Directive& directive = Read().DirectiveAt(i);
      py::dict fields;
      for (const DirectiveField& field : directive.Fields()) {
        std::visit([&](const auto& value) { fields[py::str(field.name)] = py::cast(value); },
                   field.value);
      }
      directives.append(py::make_tuple(directive.Name(), fields));
    }
    return directives;
  }

  [[nodiscard]] std::vector<PyLintWarning> Warnings() const {
    std::vector<PyLintWarning> warnings;
    for (const LintWarning& warning : runnable_.read.warnings) {
      warnings.push_back({warning.line, warning.text, LintWarningText(given_, warning)});
    }
    return warnings;
  }

 private:
  std::string given_;
  RunnableScript runnable_;
};

std::shared_ptr<PyScript> ScriptOf(py::handle script) {
  if (py::isinstance<PyScript>(script)) return script.cast<std::shared_ptr<PyScript>>();
  if (py::isinstance<py::str>(script) || py::hasattr(script, "__fspath__")) {
    return std::make_shared<PyScript>(script, false);
  }
  throw py::type_error(
      Format("script must be a qor.Script or a path, not %s", Py_TYPE(script.ptr())->tp_name));
}

// ---- progress, Ctrl-C and callbacks while the engine runs

// A target's two progress lines and transfer, each change queued for the calling thread.
struct ProgressEvent {
  std::string mac;
  std::string operation;
  std::string status;
  uint32_t done = 0;
  uint32_t total = 0;
};

class QueuedDisplay final : public ScriptDisplay {
 public:
  QueuedDisplay(std::vector<ProgressEvent>& queue, std::string mac)
      : queue_(queue), now_{std::move(mac), {}, {}, 0, 0} {}
  void SetOperationText(const std::string& text) override {
    now_.operation = text;
    Push(false);
  }
  void SetStatusText(const std::string& text) override {
    now_.status = text;
    Push(false);
  }
  void SetProgress(uint32_t done, uint32_t total) override {
    now_.done = done;
    now_.total = total;
    Push(true);
  }

 private:
  // Byte counts come often: one that follows its own kind for the same target replaces it.
  void Push(bool transfer) {
    if (transfer && lastWasTransfer_ && !queue_.empty() && queue_.back().mac == now_.mac) {
      queue_.back() = now_;
    } else {
      queue_.push_back(now_);
    }
    lastWasTransfer_ = transfer;
  }

  std::vector<ProgressEvent>& queue_;
  ProgressEvent now_;
  bool lastWasTransfer_ = false;
};

// What the engine's thread (the caller's, the GIL released) hands back to Python between steps:
// the progress queued, and a check for Ctrl-C. An exception from either (KeyboardInterrupt, a
// callback's own) sets the cancel flag; the engine then cancels what runs, and the exception is
// raised once it has.
class Pump {
 public:
  explicit Pump(py::object progress) : progress_(std::move(progress)) {}

  std::vector<ProgressEvent>& Queue() { return queue_; }
  [[nodiscard]] const std::atomic<bool>& Cancel() const { return cancel_; }

  // With the GIL held.
  void Deliver() {
    std::vector<ProgressEvent> events;
    events.swap(queue_);
    if (error_ || progress_.is_none()) return;
    for (const ProgressEvent& event : events) {
      try {
        progress_(event.mac, event.operation, event.status, event.done, event.total);
      } catch (py::error_already_set& error) {
        Stop(std::move(error));
        return;
      }
    }
  }
  void CheckSignals() {
    if (!error_ && PyErr_CheckSignals() != 0) Stop(py::error_already_set());
  }
  // Without the GIL: takes it for the length of a delivery.
  void Between() {
    py::gil_scoped_acquire gil;
    Deliver();
    CheckSignals();
  }
  // With the GIL held, once the engine is done.
  void RaisePending() {
    if (error_) {
      py::error_already_set error = std::move(*error_);
      error_.reset();
      throw error;
    }
  }
  [[nodiscard]] bool Stopped() const { return error_.has_value(); }
  // Holds error for RaisePending and cancels what runs.
  void Stop(py::error_already_set error) {
    error_.emplace(std::move(error));
    cancel_ = true;
  }

 private:
  py::object progress_;
  std::vector<ProgressEvent> queue_;
  std::atomic<bool> cancel_{false};
  std::optional<py::error_already_set> error_;
};

class PumpObserver final : public RunObserver {
 public:
  explicit PumpObserver(Pump& pump) : pump_(pump) {}
  void RunEnded(size_t, const TargetRun&) override {}
  void Stepped() override { pump_.Between(); }

 private:
  Pump& pump_;
};

// ---- the network

// The engine's options shared by run, provision and the environment commands.
struct EngineChoice {
  RunPace pace = RunPace::kFast;
  uint32_t silenceMs = SilenceLimits::kRequestMs;
  uint32_t writeSilenceMs = SilenceLimits::kWriteMs;
};

EngineChoice EngineOf(const std::string& pace, double silence, double writeSilence) {
  constexpr double kMost = SilenceLimits::kMaxMs / 1000.0;
  return {PaceOf(pace), Milliseconds(silence, kMost, "silence", false),
          Milliseconds(writeSilence, kMost, "write_silence", false)};
}

class PyNetwork {
 public:
  PyNetwork(const std::optional<std::string>& broadcast, const std::optional<std::string>& adapter,
            const std::optional<std::string>& range, uint32_t rate) {
    if (broadcast) setup_.broadcast = AddressOf(*broadcast, "broadcast");
    if (adapter) setup_.adapter = *adapter;
    if (range) {
      try {
        setup_.range = AddressRange::Parse(*range);
      } catch (const Exception& error) {
        Fail(Errors().usage, error.Message());
      }
    }
    if (rate < 1 || rate > 100000) Fail(Errors().usage, "rate must be from 1 to 100000");
    setup_.rate = rate;
    try {
      network_ = setup_.Open();
    } catch (const Exception& error) {
      Fail(Errors().network, error.Message());
    }
  }

  // Closing twice is no error; closing while a call runs on another thread is.
  void Close() {
    if (network_ == nullptr) return;
    Use();
    network_.reset();
  }
  [[nodiscard]] bool Closed() const { return network_ == nullptr; }

  std::vector<PyTarget> Discover(double wait, py::object script) {
    const uint32_t waitMs = Milliseconds(wait, kMostWaitSeconds, "wait");
    std::shared_ptr<PyScript> names;
    if (!script.is_none()) names = ScriptOf(script);
    const Busy busy(*this);
    DiscoverFor(waitMs, {});
    std::vector<PyTarget> targets;
    for (const Target* target : network_->Table().InArrivalOrder()) {
      targets.push_back(TargetOf(*target, names ? &names->Read() : nullptr));
    }
    return targets;
  }

  std::string Assign(py::object mac, const std::string& ip, bool verify, bool force, double wait) {
    AssignmentRequest request;
    request.mac = MacOf(mac);
    request.address = AddressOf(ip, "ip");
    request.verify = verify;
    request.force = force;
    request.waitMs = Milliseconds(wait, kMostWaitSeconds, "wait");
    request.forceName = "force=True";
    const Busy busy(*this);
    std::vector<std::string> notes;
    DiscoveryHooks hooks;
    hooks.note = [&notes](const std::string& text) { notes.push_back(text); };
    AssignmentResult result;
    {
      py::gil_scoped_release release;
      result = AssignAddress(*network_, request, hooks);
    }
    ThrowSignals();
    if (result.text.empty()) Fail(Errors().network, Joined(notes));
    for (const std::string& note : notes) Warn(note);
    if (!result.ok) Fail(result.sent ? Errors().run : Errors().refused, result.text);
    return result.text;
  }

  std::vector<PyRunResult> Run(py::object scriptArgument, py::object targets,
                               const std::string& pace, bool verify, double silence,
                               double writeSilence, std::optional<double> timeout,
                               py::object progress, bool rewriteDamagedEnv, size_t jobs, bool force,
                               double wait, bool skipIfCurrent) {
    const std::shared_ptr<PyScript> script = ScriptOf(scriptArgument);
    const std::vector<MacAddress> macs = MacsOf(targets);
    const EngineChoice engine = EngineOf(pace, silence, writeSilence);
    const uint32_t waitMs = Milliseconds(wait, kMostWaitSeconds, "wait");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
      throw py::type_error("progress must be callable");
    }
    const Busy busy(*this);
    std::vector<Target*> chosen = Find(macs, waitMs);
    if (!force) {
      for (const Target* target : chosen) {
        if (!script->Read().Serves(target->Key())) {
          Fail(Errors().refused,
               Format("Target %s is product 0x%04X:0x%04X, which the script's *script entries "
                      "do not name; force=True runs it anyway",
                      target->mac.ToString().c_str(), target->vendorId, target->productId));
        }
      }
    }

    Pump pump(std::move(progress));
    RunSettings settings;
    settings.pace = engine.pace;
    settings.timeoutSeconds = timeout.value_or(0);
    settings.cancel = &pump.Cancel();
    settings.jobs = jobs;
    settings.runner.silence.requestMs = engine.silenceMs;
    settings.runner.silence.writeMs = engine.writeSilenceMs;
    settings.runner.verifyDownloads = verify;
    settings.runner.rewriteDamagedEnvironment = rewriteDamagedEnv;
    settings.runner.skipIfCurrent = skipIfCurrent;
    RunSession session(script->Read(), *network_, std::move(settings));
    std::vector<std::unique_ptr<QueuedDisplay>> displays;
    for (Target* target : chosen) {
      displays.push_back(std::make_unique<QueuedDisplay>(pump.Queue(), target->mac.ToString()));
      session.AddTarget(*target, *displays.back());
    }
    PumpObserver observer(pump);
    {
      py::gil_scoped_release release;
      session.Run(&observer);
    }
    pump.Deliver();
    pump.RaisePending();
    std::vector<PyRunResult> results;
    for (const TargetRun& run : session.Runs()) results.push_back(RunResultOf(run));
    return results;
  }

  // The environment commands: each finds its target, then reads or writes its block.
  struct Block {
    py::handle mac;
    std::optional<uint32_t> at;
    std::optional<uint32_t> length;
    py::handle script;
    double wait = 1.0;
    std::optional<double> timeout;
    bool rewriteDamagedEnv = false;
  };

  PyEnvironment EnvShow(const Block& block) {
    EnvironmentReading reading;
    const EnvironmentBlockPlace place =
        WithEnvironment(block, [&](EnvironmentAccess& access) { reading = access.Read(); });
    return Described(reading, block, place);
  }

  PyEnvironment EnvBackup(const Block& block, const std::string& path) {
    EnvironmentReading reading;
    const EnvironmentBlockPlace place =
        WithEnvironment(block, [&](EnvironmentAccess& access) { reading = access.Backup(path); });
    return Described(reading, block, place);
  }

  bool EnvRestore(const Block& block, const std::string& path) {
    const EnvironmentEntries entries = ReadFile(path);
    bool changed = false;
    WithEnvironment(block,
                    [&](EnvironmentAccess& access) { changed = access.Restore(entries).changed; });
    return changed;
  }

  bool EnvSet(const Block& block, py::object values) {
    std::vector<std::pair<std::string, std::string>> assignments;
    const py::object items = py::isinstance<py::dict>(values)
                                 ? values.attr("items")()
                                 : py::reinterpret_borrow<py::object>(values);
    for (const py::handle item : py::iter(items)) {
      if (!py::isinstance<py::tuple>(item) && !py::isinstance<py::list>(item)) {
        throw py::type_error("values are a dict or (name, value) pairs");
      }
      const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
      if (pair.size() != 2) throw py::type_error("values are a dict or (name, value) pairs");
      std::string name = BytesOf(pair[0], "a variable's name");
      std::string value = BytesOf(pair[1], "a variable's value");
      if (name.empty()) Fail(Errors().usage, "a variable needs a name");
      try {
        CheckEnvironmentEntry(name, value);
      } catch (const Exception& error) {
        Fail(Errors().usage, error.Message());
      }
      assignments.emplace_back(std::move(name), std::move(value));
    }
    bool changed = false;
    WithEnvironment(block,
                    [&](EnvironmentAccess& access) { changed = access.Set(assignments).changed; });
    return changed;
  }

  PyEnvironmentDiff EnvDiff(const Block& block, const std::string& path) {
    const EnvironmentEntries file = ReadFile(path);
    EnvironmentReading reading;
    WithEnvironment(block, [&](EnvironmentAccess& access) { reading = access.Read(); });
    PyEnvironmentDiff diff;
    diff.same = reading.Holds(file);
    diff.state = EnvironmentBlockStateName(reading.state);
    if (reading.state == EnvironmentBlockState::kDamaged) return diff;
    const EnvironmentDifference difference = CompareEnvironment(reading.entries, file);
    for (const auto& [name, value] : difference.added) diff.added[TextOf(name)] = TextOf(value);
    for (const auto& [name, value] : difference.removed) {
      diff.removed[TextOf(name)] = TextOf(value);
    }
    for (const auto& [name, values] : difference.changed) {
      diff.changed[TextOf(name)] = py::make_tuple(TextOf(values.first), TextOf(values.second));
    }
    return diff;
  }

  // ---- the station

  struct ProvisionChoice {
    py::handle script;
    std::optional<std::string> addresses;
    py::object addressMap;
    py::object unitValues;
    size_t jobs = 4;
    py::object record;
    size_t count = 0;
    double idle = 0;
    std::optional<std::string> product;
    bool force = false;
    bool readdress = false;
    double wait = 3.0;
    uint32_t retries = 0;
    bool again = false;
    bool retryFailed = false;
    py::object csv;
    std::string pace = "fast";
    double silence = 30;
    double writeSilence = 600;
    bool verify = true;
    bool allowWarnings = false;
    py::object progress;
    py::object onUnit;
    py::object onNote;
  };

  py::dict Provision(const ProvisionChoice& choice);

 private:
  // Marks the network in use for the length of a call: another thread may not close it or
  // start a second call meanwhile.
  class Busy {
   public:
    explicit Busy(PyNetwork& network) : network_(network) {
      network.Use();
      network.busy_ = true;
    }
    ~Busy() { network_.busy_ = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    PyNetwork& network_;
  };

  void Use() const {
    if (network_ == nullptr) Fail(Errors().error, "The network is closed");
    if (busy_) Fail(Errors().error, "The network is busy with another call");
  }

  static std::string Joined(const std::vector<std::string>& notes) {
    std::string text;
    for (const std::string& note : notes) text += (text.empty() ? "" : "\n") + note;
    return text.empty() ? "The discovery could not be sent" : text;
  }

  static void ThrowSignals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }

  // Discovers, the GIL released; done ends the wait early. Notes of a discovery that went out
  // become warnings; one that did not raises NetworkError.
  void DiscoverFor(uint32_t waitMs, std::function<bool()> done) {
    std::vector<std::string> notes;
    DiscoveryHooks hooks;
    hooks.done = std::move(done);
    hooks.note = [&notes](const std::string& text) { notes.push_back(text); };
    bool sent = false;
    {
      py::gil_scoped_release release;
      sent = RunDiscovery(*network_, waitMs, hooks);
    }
    ThrowSignals();
    if (!sent) Fail(Errors().network, Joined(notes));
    for (const std::string& note : notes) Warn(note);
  }

  static std::vector<MacAddress> MacsOf(py::handle targets) {
    std::vector<MacAddress> macs;
    if (py::isinstance<py::str>(targets) || py::isinstance<PyTarget>(targets)) {
      macs.push_back(MacOf(targets));
    } else if (py::isinstance<py::iterable>(targets)) {
      for (const py::handle target : targets) macs.push_back(MacOf(target));
    } else {
      throw py::type_error(
          Format("targets must be a target, a MAC address or a list of them, "
                 "not %s",
                 Py_TYPE(targets.ptr())->tp_name));
    }
    if (macs.empty()) Fail(Errors().usage, "no target to run on");
    return macs;
  }

  // Discovers until every target asked for has answered (at most waitMs), as qorctl does
  // before it runs, so that each is at the address it holds now.
  std::vector<Target*> Find(const std::vector<MacAddress>& macs, uint32_t waitMs) {
    TargetTable& table = network_->Table();
    DiscoverFor(waitMs, [&] {
      for (const MacAddress& mac : macs) {
        if (table.Find(mac) == nullptr) return false;
      }
      return true;
    });
    std::vector<Target*> found;
    for (const MacAddress& mac : macs) {
      Target* target = table.Find(mac);
      if (target == nullptr) {
        Fail(Errors().notFound, Format("No target with MAC address %s answered the discovery",
                                       mac.ToString().c_str()));
      }
      if (std::find(found.begin(), found.end(), target) == found.end()) found.push_back(target);
    }
    return found;
  }

  static EnvironmentBlockPlace PlaceOf(const Block& block) {
    if (!block.script.is_none()) {
      if (block.at || block.length) {
        Fail(Errors().usage, "choose the block: at and length, or script, not both");
      }
      const std::shared_ptr<PyScript> script = ScriptOf(block.script);
      const auto place = EnvironmentAccess::FirstLoadEnv(script->Read());
      if (!place) {
        Fail(Errors().refused, Format("\"%s\" has no *loadenv to take the environment block from",
                                      script->Given().c_str()));
      }
      return *place;
    }
    if (!block.at || !block.length) {
      Fail(Errors().usage, "choose the block: at=ADDR and length=LEN, or script=FILE");
    }
    return {*block.at, *block.length};
  }

  static EnvironmentEntries ReadFile(const std::string& path) {
    try {
      return ReadEnvironmentFile(path);
    } catch (const Exception& error) {
      Fail(Errors().error, error.Message());
    }
  }

  static PyEnvironment Described(const EnvironmentReading& reading, const Block& block,
                                 const EnvironmentBlockPlace& place) {
    PyEnvironment shown;
    shown.state = EnvironmentBlockStateName(reading.state);
    for (const auto& [name, value] : reading.entries) {
      shown.variables[TextOf(name)] = TextOf(value);
    }
    shown.mac = MacOf(block.mac).ToString();
    shown.address = place.address;
    shown.length = place.length;
    return shown;
  }

  // Runs work on the block the arguments name, the GIL released (work touches no Python value).
  // Steps at the tick pace, so that between steps Ctrl-C is looked for; it cancels the work and
  // is raised afterwards.
  template <typename Work>
  EnvironmentBlockPlace WithEnvironment(const Block& block, Work work) {
    const MacAddress mac = MacOf(block.mac);
    const EnvironmentBlockPlace place = PlaceOf(block);
    const uint32_t waitMs = Milliseconds(block.wait, kMostWaitSeconds, "wait");
    const Busy busy(*this);
    Target& target = *Find({mac}, waitMs).front();
    Pump pump{py::none()};
    RunSettings settings;
    settings.pace = RunPace::kTick;
    settings.timeoutSeconds = block.timeout.value_or(0);
    settings.cancel = &pump.Cancel();
    settings.runner.rewriteDamagedEnvironment = block.rewriteDamagedEnv;
    settings.sleep = [&pump](uint32_t ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      pump.Between();
    };
    std::optional<EnvironmentAccess> access;
    try {
      access.emplace(*network_, target, place, std::move(settings));
    } catch (const Exception& error) {
      Fail(Errors().refused, error.Message());
    }
    std::optional<std::string> failed;
    {
      py::gil_scoped_release release;
      try {
        work(*access);
      } catch (const Exception& error) {
        failed = error.Message();
      }
    }
    pump.RaisePending();
    if (failed) Fail(Errors().run, *failed);
    return place;
  }

  NetworkSetup setup_;
  std::unique_ptr<TargetNetwork> network_;
  bool busy_ = false;
};

// The station's observer: queues each unit's progress, keeps its end records, and hands both,
// with the notes, to Python between steps.
class PyStationObserver final : public StationObserver {
 public:
  PyStationObserver(Pump& pump, py::object onUnit, py::object onNote)
      : pump_(pump), onUnit_(std::move(onUnit)), onNote_(std::move(onNote)) {}

  ScriptDisplay& UnitStarted(const StartRecord& start) override {
    auto& display = displays_[start.mac];
    display = std::make_unique<QueuedDisplay>(pump_.Queue(), start.mac.ToString());
    return *display;
  }
  void UnitEnded(const EndRecord& end) override {
    ends_.push_back(RecordLine(ToJson(end)));
    pendingEnds_.push_back(ends_.back());
  }
  void Note(const std::string& text) override {
    notes_.push_back(text);
    pendingNotes_.push_back(text);
  }
  void Stepped() override {
    py::gil_scoped_acquire gil;
    Hand();
    pump_.Deliver();
    pump_.CheckSignals();
  }

  // With the GIL held: what came since the last step, to the callbacks.
  void Hand() {
    const py::object loads = py::module_::import("json").attr("loads");
    std::vector<std::string> ends;
    std::vector<std::string> notes;
    ends.swap(pendingEnds_);
    notes.swap(pendingNotes_);
    if (pump_.Stopped()) return;
    try {
      if (!onNote_.is_none()) {
        for (const std::string& note : notes) onNote_(note);
      }
      if (!onUnit_.is_none()) {
        for (const std::string& end : ends) onUnit_(loads(end));
      }
    } catch (py::error_already_set& error) {
      pump_.Stop(std::move(error));
    }
  }

  [[nodiscard]] py::list Records() const {
    const py::object loads = py::module_::import("json").attr("loads");
    py::list records;
    for (const std::string& end : ends_) records.append(loads(end));
    return records;
  }
  [[nodiscard]] const std::vector<std::string>& Notes() const { return notes_; }

 private:
  Pump& pump_;
  py::object onUnit_;
  py::object onNote_;
  std::map<MacAddress, std::unique_ptr<QueuedDisplay>> displays_;
  std::vector<std::string> ends_;
  std::vector<std::string> pendingEnds_;
  std::vector<std::string> notes_;
  std::vector<std::string> pendingNotes_;
};

const char* StopName(StationStop stop) {
  switch (stop) {
    case StationStop::kCount:
      return "count";
    case StationStop::kIdle:
      return "idle";
    case StationStop::kCancelled:
      return "cancelled";
    case StationStop::kExhausted:
      return "exhausted";
  }
  return "unknown";
}

}  // namespace
}  // namespace qor::python

namespace qor::python {
namespace {

py::dict PyNetwork::Provision(const ProvisionChoice& choice) {
  const std::shared_ptr<PyScript> script = ScriptOf(choice.script);
  StationOptions station;
  if (!(choice.idle >= 0 && choice.idle <= RunSession::kMaxTimeoutSeconds)) {
    Fail(Errors().usage, Format("idle must be a number of seconds from 0 (never) to %.0f",
                                RunSession::kMaxTimeoutSeconds));
  }
  station.idleSeconds = choice.idle;
  if (choice.product) {
    const std::string& text = *choice.product;
    int vendor = -1;
    int product = -1;
    char end = 0;
    if (std::sscanf(text.c_str(), "%i:%i%c", &vendor, &product, &end) != 2 || vendor < 0 ||
        vendor > 0xFFFF || product < 0 || product > 0xFFFF) {
      Fail(Errors().usage, "product \"" + text +
                               "\" is not VID:PID (two numbers from 0 to 65535, such as "
                               "0x1234:0x0001)");
    }
    station.product = ProductKey{static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)};
  }
  const bool mapped = !choice.addressMap.is_none();
  if (choice.addresses && mapped) {
    Fail(Errors().usage, "addresses and address_map exclude each other");
  }
  if (choice.readdress && !choice.addresses && !mapped) {
    Fail(Errors().usage, "readdress needs addresses or address_map");
  }
  const EngineChoice engine = EngineOf(choice.pace, choice.silence, choice.writeSilence);
  const uint32_t confirmMs = Milliseconds(choice.wait, kMostWaitSeconds, "wait");
  if (choice.jobs < 1 || choice.jobs > 1024) Fail(Errors().usage, "jobs must be from 1 to 1024");
  if (choice.retries > 100) Fail(Errors().usage, "retries must be from 0 to 100");
  const std::optional<std::string> mapPath =
      mapped ? std::optional(PathOf(choice.addressMap)) : std::nullopt;
  const std::optional<std::string> valuesPath =
      choice.unitValues.is_none() ? std::nullopt : std::optional(PathOf(choice.unitValues));
  const std::string recordPath =
      choice.record.is_none() ? DefaultRecordName() : PathOf(choice.record);
  const std::string csvPath = choice.csv.is_none() ? std::string() : PathOf(choice.csv);

  const std::vector<LintWarning>& warnings = script->Runnable().read.warnings;
  if (!warnings.empty() && !choice.allowWarnings) {
    Fail(Errors().refused,
         Format("Not started: \"%s\" draws %zu warning%s, and provision runs only scripts "
                "without any (allow_warnings=True runs it all the same)",
                script->Given().c_str(), warnings.size(), warnings.size() == 1 ? "" : "s"));
  }
  const Busy busy(*this);
  std::optional<AddressPool> pool;
  std::optional<UnitValues> values;
  std::unique_ptr<StationRecord> record;
  try {
    if (choice.addresses) pool = AddressPool::Range(*choice.addresses);
  } catch (const Exception& error) {
    Fail(Errors().usage, "addresses: " + error.Message());
  }
  try {
    if (mapPath) pool = AddressPool::MapFile(*mapPath);
    if (valuesPath) values = UnitValues::File(*valuesPath);
    record = std::make_unique<StationRecord>(recordPath);
  } catch (const Exception& error) {
    Fail(Errors().error, error.Message());
  }
  for (const std::string& warning : record->Warnings()) Warn(warning);

  const RunnableScript& runnable = script->Runnable();
  station.scriptPath = runnable.path;
  station.scriptSha256 = runnable.sha256;
  station.force = choice.force;
  station.pool = pool ? &*pool : nullptr;
  station.readdress = choice.readdress;
  station.confirmMs = confirmMs;
  station.values = values ? &*values : nullptr;
  station.jobs = choice.jobs;
  station.count = choice.count;
  station.retries = choice.retries;
  station.again = choice.again;
  station.retryFailed = choice.retryFailed;
  station.csvPath = csvPath;
  station.run.pace = engine.pace;
  station.run.runner.silence.requestMs = engine.silenceMs;
  station.run.runner.silence.writeMs = engine.writeSilenceMs;
  station.run.runner.verifyDownloads = choice.verify;

  Pump pump(choice.progress);
  station.run.cancel = &pump.Cancel();
  PyStationObserver observer(pump, choice.onUnit, choice.onNote);
  Station running(script->Read(), *network_, *record, std::move(station), observer);
  StationStop stop = StationStop::kCancelled;
  std::optional<std::string> failed;
  {
    py::gil_scoped_release release;
    try {
      stop = running.Run();
    } catch (const Exception& error) {
      failed = error.Message();
    }
  }
  observer.Hand();
  pump.Deliver();
  pump.RaisePending();
  if (failed) Fail(Errors().error, *failed);

  const Station::Counts counts = running.CurrentCounts();
  py::dict summary;
  summary["stop"] = StopName(stop);
  summary["all_passed"] = running.AllPassed() && stop != StationStop::kExhausted;
  summary["passed"] = counts.passed;
  summary["failed"] = counts.failed;
  summary["cancelled"] = counts.cancelled;
  summary["pool_left"] = py::cast(running.PoolLeft());
  summary["record"] = record->Path();
  summary["records"] = observer.Records();
  summary["notes"] = py::cast(observer.Notes());
  return summary;
}

}  // namespace

PYBIND11_MODULE(_qor, module) {
  module.doc() = "The native part of the qor package; import qor instead.";
  module.attr("__version__") = kQorVersion;
  // The classes are named qor.X, as the package shows them (help(), reprs, signatures).
  module.attr("__name__") = "qor";
  AddErrors(module);
  AddValues(module);

  py::class_<PyScript, std::shared_ptr<PyScript>>(
      module, "Script",
      "A .QOR script, read and checked as qorctl check reads it: with trusted keys configured "
      "it must be signed, unless allow_unsigned. Raises ScriptError.")
      .def(py::init([](py::object path, bool allowUnsigned) {
             return std::make_shared<PyScript>(path, allowUnsigned);
           }),
           "path"_a, py::kw_only(), "allow_unsigned"_a = false)
      .def_property_readonly(
          "path", [](const PyScript& s) { return s.Runnable().path; }, "The script's full path.")
      .def_property_readonly(
          "sha256", [](const PyScript& s) { return s.Runnable().sha256; },
          "The SHA-256 of the script file, as records name it.")
      .def_property_readonly("products", &PyScript::Products,
                             "{(vendor, product): name} from its *product entries.")
      .def_property_readonly("scripts", &PyScript::Scripts,
                             "{(vendor, product): description} from its *script entries; a "
                             "script without any runs on every product.")
      .def_property_readonly("directives", &PyScript::Directives,
                             "[(name, {field: value})], one per directive in order, such as "
                             "('*download', {...}).")
      .def_property_readonly("warnings", &PyScript::Warnings,
                             "[LintWarning]: what qorctl check warns about, in line order.")
      .def("__repr__", [](const PyScript& s) {
        return "Script(" + py::repr(py::str(s.Given())).cast<std::string>() + ")";
      });

  py::class_<PyNetwork> network(
      module, "Network",
      "The UDP socket targets are reached through, and the table of those that answered. A "
      "context manager: leaving the with block closes it.\n\n"
      "broadcast: send broadcasts to this address alone (default: 255.255.255.255 and every "
      "adapter's subnet broadcast); interface: send and listen through this adapter alone; "
      "range: also send each discovery to every address of this CIDR range, rate a second. "
      "Raises NetworkError when the socket or adapter cannot be used.");
  network
      .def(py::init<const std::optional<std::string>&, const std::optional<std::string>&,
                    const std::optional<std::string>&, uint32_t>(),
           py::kw_only(), "broadcast"_a = py::none(), "interface"_a = py::none(),
           "range"_a = py::none(), "rate"_a = RangeSweep::kDefaultRate)
      .def(
          "__enter__", [](PyNetwork& network) -> PyNetwork& { return network; },
          py::return_value_policy::reference)
      .def(
          "__exit__",
          [](PyNetwork& network, const py::object&, const py::object&, const py::object&) {
            if (!network.Closed()) network.Close();
            return false;
          },
          "exc_type"_a, "exc"_a, "traceback"_a)
      .def("close", &PyNetwork::Close, "Closes the socket; the network cannot be used after.")
      .def_property_readonly("closed", &PyNetwork::Closed)
      .def("discover", &PyNetwork::Discover,
           "Broadcasts a discovery (again after 250 and 500 ms) and returns the targets that "
           "answered within wait seconds, in the order they answered. With script, each "
           "target's product_name comes from its *product entries.",
           py::kw_only(), "wait"_a = 1.0, "script"_a = py::none())
      .def("assign", &PyNetwork::Assign,
           "Gives the target with MAC the address ip, as qorctl assign does: discovers first, "
           "refuses (RefusedError, nothing sent) an address no target can hold, one another "
           "target holds and a MAC that did not answer (the last two unless force). With "
           "verify, discovers again and raises RunError unless the target reports ip. Returns "
           "QOR's text of what was done.",
           "mac"_a, "ip"_a, py::kw_only(), "verify"_a = true, "force"_a = false, "wait"_a = 1.0)
      .def("run", &PyNetwork::Run,
           "Runs script on targets (a Target, a MAC, or a list of them) at once, as qorctl run "
           "does: discovers them first (wait seconds at most), refuses products the script's "
           "*script entries do not name unless force, and returns one RunResult per target in "
           "their order. progress(mac, operation, status, done, total) is called on this "
           "thread as the runs go. Ctrl-C cancels the runs, then KeyboardInterrupt is raised; "
           "an exception from progress does the same. skip_if_current reads each target back "
           "first and writes nothing to one that already holds every image and variable the "
           "script writes: its outcome is \"current\".",
           "script"_a, "targets"_a, py::kw_only(), "pace"_a = "fast", "verify"_a = false,
           "silence"_a = 30.0, "write_silence"_a = 600.0, "timeout"_a = py::none(),
           "progress"_a = py::none(), "rewrite_damaged_env"_a = false, "jobs"_a = 0,
           "force"_a = false, "wait"_a = 1.0, "skip_if_current"_a = false);

  auto block = [](py::object mac, std::optional<uint32_t> at, std::optional<uint32_t> length,
                  py::object script, double wait, std::optional<double> timeout, bool rewrite) {
    return PyNetwork::Block{mac, at, length, script, wait, timeout, rewrite};
  };
  network
      .def(
          "env_show",
          [block](PyNetwork& n, py::object mac, std::optional<uint32_t> at,
                  std::optional<uint32_t> length, py::object script, double wait,
                  std::optional<double> timeout) {
            return n.EnvShow(block(mac, at, length, script, wait, timeout, false));
          },
          "Reads the environment block of the target mac: at and length, or the block of "
          "script's first *loadenv. Returns an Environment.",
          "mac"_a, py::kw_only(), "at"_a = py::none(), "length"_a = py::none(),
          "script"_a = py::none(), "wait"_a = 1.0, "timeout"_a = py::none())
      .def(
          "env_set",
          [block](PyNetwork& n, py::object mac, py::object values, std::optional<uint32_t> at,
                  std::optional<uint32_t> length, py::object script, double wait,
                  std::optional<double> timeout, bool rewrite) {
            return n.EnvSet(block(mac, at, length, script, wait, timeout, rewrite), values);
          },
          "Sets variables ({name: value}, or (name, value) pairs applied in order; an empty "
          "value deletes the name) and writes the block only when that changes it, then reads "
          "it back. Returns whether it was written. A damaged block is not written over "
          "without rewrite_damaged_env.",
          "mac"_a, "values"_a, py::kw_only(), "at"_a = py::none(), "length"_a = py::none(),
          "script"_a = py::none(), "wait"_a = 1.0, "timeout"_a = py::none(),
          "rewrite_damaged_env"_a = false)
      .def(
          "env_backup",
          [block](PyNetwork& n, py::object mac, py::object path, std::optional<uint32_t> at,
                  std::optional<uint32_t> length, py::object script, double wait,
                  std::optional<double> timeout) {
            return n.EnvBackup(block(mac, at, length, script, wait, timeout, false), PathOf(path));
          },
          "Writes the block's variables to path in qorctl env backup's format; a damaged block "
          "raises RunError and writes nothing. Returns the Environment read.",
          "mac"_a, "path"_a, py::kw_only(), "at"_a = py::none(), "length"_a = py::none(),
          "script"_a = py::none(), "wait"_a = 1.0, "timeout"_a = py::none())
      .def(
          "env_restore",
          [block](PyNetwork& n, py::object mac, py::object path, std::optional<uint32_t> at,
                  std::optional<uint32_t> length, py::object script, double wait,
                  std::optional<double> timeout, bool rewrite) {
            return n.EnvRestore(block(mac, at, length, script, wait, timeout, rewrite),
                                PathOf(path));
          },
          "Makes the block hold exactly the variables of the backup file at path, writing "
          "only when it does not already. Returns whether it was written.",
          "mac"_a, "path"_a, py::kw_only(), "at"_a = py::none(), "length"_a = py::none(),
          "script"_a = py::none(), "wait"_a = 1.0, "timeout"_a = py::none(),
          "rewrite_damaged_env"_a = false)
      .def(
          "env_diff",
          [block](PyNetwork& n, py::object mac, py::object path, std::optional<uint32_t> at,
                  std::optional<uint32_t> length, py::object script, double wait,
                  std::optional<double> timeout) {
            return n.EnvDiff(block(mac, at, length, script, wait, timeout, false), PathOf(path));
          },
          "Compares the block with the backup file at path. Returns an EnvironmentDiff.", "mac"_a,
          "path"_a, py::kw_only(), "at"_a = py::none(), "length"_a = py::none(),
          "script"_a = py::none(), "wait"_a = 1.0, "timeout"_a = py::none())
      .def(
          "provision",
          [](PyNetwork& n, py::object script, std::optional<std::string> addresses,
             py::object addressMap, py::object unitValues, size_t jobs, py::object record,
             std::optional<size_t> count, std::optional<double> idle,
             std::optional<std::string> product, bool force, bool readdress, double wait,
             uint32_t retries, bool again, bool retryFailed, py::object csv,
             const std::string& pace, double silence, double writeSilence, bool verify,
             bool allowWarnings, py::object progress, py::object onUnit, py::object onNote) {
            PyNetwork::ProvisionChoice choice{script,
                                              std::move(addresses),
                                              addressMap,
                                              unitValues,
                                              jobs,
                                              record,
                                              count.value_or(0),
                                              idle.value_or(0),
                                              std::move(product),
                                              force,
                                              readdress,
                                              wait,
                                              retries,
                                              again,
                                              retryFailed,
                                              csv,
                                              pace,
                                              silence,
                                              writeSilence,
                                              verify,
                                              allowWarnings,
                                              progress,
                                              onUnit,
                                              onNote};
            return n.Provision(choice);
          },
          "Runs the production station as qorctl provision does, until count units passed, "
          "idle seconds pass without a new unit, the pool runs out or Ctrl-C. Returns a dict: "
          "stop ('count', 'idle', 'exhausted', 'cancelled'), all_passed, passed, failed, "
          "cancelled, pool_left, record (its path), records (the end records as dicts) and "
          "notes. on_unit(record) and on_note(text) are called on this thread as it goes.",
          "script"_a, py::kw_only(), "addresses"_a = py::none(), "address_map"_a = py::none(),
          "unit_values"_a = py::none(), "jobs"_a = 4, "record"_a = py::none(),
          "count"_a = py::none(), "idle"_a = py::none(), "product"_a = py::none(),
          "force"_a = false, "readdress"_a = false, "wait"_a = 3.0, "retries"_a = 0,
          "again"_a = false, "retry_failed"_a = false, "csv"_a = py::none(), "pace"_a = "fast",
          "silence"_a = 30.0, "write_silence"_a = 600.0, "verify"_a = true,
          "allow_warnings"_a = false, "progress"_a = py::none(), "on_unit"_a = py::none(),
          "on_note"_a = py::none());
  module.attr("__name__") = "qor._qor";
}

}  // namespace qor::python
