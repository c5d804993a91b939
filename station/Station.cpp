#include "station/Station.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>
#include <utility>

#include "QorVersion.h"
#include "exec/RunObserver.h"
#include "exec/TargetRun.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/DurableFile.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"
#include "station/AddressPool.h"
#include "station/Csv.h"
#include "station/StationObserver.h"
#include "station/StationRecord.h"
#include "station/UnitRecord.h"
#include "station/UnitValues.h"

namespace qor {
namespace {

// Whether the tick count has reached due, across its wrap.
bool Reached(uint32_t now, uint32_t due) { return static_cast<int32_t>(now - due) >= 0; }

std::string KeyText(const ProductKey& key) {
  return Format("0x%04X:0x%04X", key.vendorId, key.productId);
}

// What the station knows of one target it has seen.
struct Unit {
  enum class Phase { kPassedOver, kWaiting, kAddressing, kRunning, kDone };
  Target* target = nullptr;
  Phase phase = Phase::kPassedOver;
  uint32_t retriesLeft = 0;
  bool touched = false;  // started in this session
  UnitOutcome outcome = UnitOutcome::kFailed;
  // The attempt going on.
  uint32_t startedTick = 0;
  uint64_t startedUs = 0;
  std::string startedTime;
  std::optional<uint32_t> ipBefore;
  uint32_t address = 0;
  std::optional<UnitValueList> values;
  ScriptDisplay* display = nullptr;
  uint64_t bytesBefore = 0;
  uint32_t resendsBefore = 0;
  // While its address is being confirmed.
  uint32_t assignedAt = 0;
  bool heard = false;      // it answered a discovery since
  bool confirmed = false;  // ... at its new address
};

}  // namespace

struct Station::State final : RunObserver, TargetListObserver {
  State(const Script& sc, TargetNetwork& n, StationRecord& r, StationOptions o,
        StationObserver& obs)
      : script(sc), network(n), record(r), options(std::move(o)), observer(obs) {}

  const Script& script;
  TargetNetwork& network;
  StationRecord& record;
  StationOptions options;
  StationObserver& observer;
  std::unique_ptr<RunSession> session;
  std::unique_ptr<DurableFile> csv;
  std::vector<ImageInfo> images;
  uint32_t idleMs = 0;

  std::map<MacAddress, Unit> units;
  std::deque<MacAddress> waiting;
  std::map<size_t, MacAddress> runs;  // by index in the session
  size_t inFlight = 0;
  size_t passedBefore = 0;  // in the record, counted towards --count
  Counts counts;
  uint32_t startTick = 0;
  uint32_t lastActivity = 0;
  bool exhausted = false;
  // Discovery: the round's first request, how many repeats of it went, a probe for addresses.
  uint32_t roundAt = 0;
  size_t repeats = 0;
  std::optional<uint32_t> probeAt;
  std::string lastDiscoverFailure;

  [[nodiscard]] std::chrono::system_clock::time_point Now() const {
    return options.clock ? options.clock() : std::chrono::system_clock::now();
  }
  [[nodiscard]] bool NeedsAddress(const Target& target) const {
    return target.ipAddress == 0 || options.readdress;
  }

  void UpdateRow(Target& target) override;
  void RunEnded(size_t index, const TargetRun& run) override;

  std::optional<std::string> PassOver(const Target& target) const;
  std::optional<std::string> AddressPassOver(const Target& target) const;
  void StartWaiting();
  // False when the pool is exhausted: the unit waits on.
  bool Start(const MacAddress& mac, Unit& unit);
  void Join(const MacAddress& mac, Unit& unit);
  void Confirm();
  void End(const MacAddress& mac, Unit& unit, UnitOutcome outcome, std::string error,
           std::optional<bool> restartConfirmed = std::nullopt);
  void CancelAddressing();
  void Discover(bool first);
  [[nodiscard]] std::optional<StationStop> StopDue() const;
};

// Every DiscoverReply, during the session's polls: targets appear here, and show their new
// addresses.
void Station::State::UpdateRow(Target& target) {
  auto [found, fresh] = units.try_emplace(target.mac);
  Unit& unit = found->second;
  if (fresh) {
    unit.target = &target;
    unit.retriesLeft = options.retries;
    if (const auto reason = PassOver(target)) {
      observer.Note(*reason);
      return;
    }
    unit.phase = Unit::Phase::kWaiting;
    waiting.push_back(target.mac);
    return;
  }
  if (unit.phase == Unit::Phase::kAddressing) {
    unit.heard = true;
    if (target.ipAddress == unit.address) unit.confirmed = true;
  }
}

std::optional<std::string> Station::State::PassOver(const Target& target) const {
  const std::string mac = target.mac.ToString();
  if (options.product && target.Key() != *options.product) {
    return Format("Passed over %s: product %s is not %s, the product --product names", mac.c_str(),
                  KeyText(target.Key()).c_str(), KeyText(*options.product).c_str());
  }
  if (!options.force && !script.Serves(target.Key())) {
    return Format("Passed over %s: product %s is not among the script's *script entries",
                  mac.c_str(), KeyText(target.Key()).c_str());
  }
  if (const auto attempt = record.History().AttemptOf(target.mac, options.scriptSha256)) {
    if (attempt->state == RecordHistory::State::kPassed && !options.again) {
      return Format("Passed over %s: it passed this script at %s (--again runs it again)",
                    mac.c_str(), attempt->time.c_str());
    }
    if (attempt->state == RecordHistory::State::kFailed && !options.retryFailed) {
      return Format("Passed over %s: it failed this script at %s (--retry-failed runs it again)",
                    mac.c_str(), attempt->time.c_str());
    }
  }
  return AddressPassOver(target);
}

std::optional<std::string> Station::State::AddressPassOver(const Target& target) const {
  if (!NeedsAddress(target)) return std::nullopt;
  const std::string mac = target.mac.ToString();
  if (options.pool == nullptr) {
    return Format(
        "Passed over %s: it has no IP address, and neither --addresses nor --address-map gives "
        "it one",
        mac.c_str());
  }
  if (!options.pool->Lists(target.mac)) {
    return Format("Passed over %s: %s has no line for it", mac.c_str(),
                  options.pool->Name().c_str());
  }
  return std::nullopt;
}

void Station::State::StartWaiting() {
  while (!waiting.empty() && inFlight < options.jobs && !exhausted) {
    // No more units in flight than --count still needs.
    if (options.count > 0 && passedBefore + counts.passed + inFlight >= options.count) return;
    const MacAddress mac = waiting.front();
    Unit& unit = units.at(mac);
    if (!Start(mac, unit)) return;
    waiting.pop_front();
  }
}

bool Station::State::Start(const MacAddress& mac, Unit& unit) {
  Target& target = *unit.target;
  // Its address may have changed since it was found.
  if (const auto reason = AddressPassOver(target)) {
    observer.Note(*reason);
    unit.phase = Unit::Phase::kPassedOver;
    return true;
  }
  const RecordHistory& history = record.History();
  std::string problem;
  unit.values.reset();
  if (options.values != nullptr) {
    UnitValues::Choice choice = options.values->Choose(mac, history);
    if (choice.values) {
      unit.values = std::move(choice.values);
    } else {
      problem = std::move(choice.problem);
    }
  }
  const bool addressing = NeedsAddress(target);
  unit.ipBefore = target.ipAddress != 0 ? std::optional<uint32_t>(target.ipAddress) : std::nullopt;
  unit.address = target.ipAddress;
  if (problem.empty() && addressing) {
    const AddressPool::Choice choice = options.pool->Choose(mac, network.Table(), history);
    if (choice.exhausted) {
      // Units in flight finish; no other unit starts.
      if (!exhausted) observer.Note(choice.problem);
      exhausted = true;
      return false;
    }
    if (choice.address) {
      unit.address = *choice.address;
    } else {
      problem = choice.problem;
    }
  }

  unit.touched = true;
  unit.startedTick = GetTickCount();
  unit.startedUs = GetMicrosecondCount();
  unit.startedTime = RecordTimeText(Now());
  unit.bytesBefore = target.bytesSent;
  unit.resendsBefore = target.resends;
  StartRecord start;
  start.time = unit.startedTime;
  start.mac = mac;
  start.ipBefore = unit.ipBefore;
  if (unit.address != 0) start.ip = unit.address;
  start.script = options.scriptPath;
  start.scriptSha256 = options.scriptSha256;
  start.unitValues = unit.values;
  start.version = kQorVersion;
  record.Append(start);
  lastActivity = unit.startedTick;
  ++inFlight;
  unit.phase = Unit::Phase::kAddressing;
  unit.display = &observer.UnitStarted(start);
  if (!problem.empty()) {
    End(mac, unit, UnitOutcome::kFailed, problem);
    return true;
  }
  if (!addressing) {
    Join(mac, unit);
    return true;
  }
  unit.display->SetOperationText("Address");
  unit.display->SetStatusText(Format("Assigning %s", IpAddressText(unit.address).c_str()));
  unit.heard = false;
  unit.confirmed = false;
  unit.assignedAt = GetTickCount();
  try {
    network.SendAssignAddressRequest(mac, unit.address);
  } catch (const Exception& error) {
    End(mac, unit, UnitOutcome::kFailed, error.Message());
    return true;
  }
  const uint32_t probe = unit.assignedAt + kProbeAfterMs;
  if (!probeAt || Reached(*probeAt, probe)) probeAt = probe;
  return true;
}

void Station::State::Join(const MacAddress& mac, Unit& unit) {
  RunnerOptions runner = options.run.runner;
  if (unit.values) runner.unitValues = *unit.values;
  unit.phase = Unit::Phase::kRunning;
  runs[session->Join(*unit.target, *unit.display, runner)] = mac;
}

void Station::State::Confirm() {
  const uint32_t now = GetTickCount();
  for (auto& [mac, unit] : units) {
    if (unit.phase != Unit::Phase::kAddressing) continue;
    if (unit.confirmed) {
      unit.display->SetStatusText(Format("Answers at %s", IpAddressText(unit.address).c_str()));
      Join(mac, unit);
      continue;
    }
    if (now - unit.assignedAt <= options.confirmMs) continue;
    const std::string address = IpAddressText(unit.address);
    End(mac, unit, UnitOutcome::kFailed,
        unit.heard
            ? Format("%s still reports %s %u ms after it was given %s", mac.ToString().c_str(),
                     TargetAddressText(unit.target->ipAddress).c_str(), options.confirmMs,
                     address.c_str())
            : Format("%s did not answer a discovery within %u ms after it was given %s",
                     mac.ToString().c_str(), options.confirmMs, address.c_str()));
  }
}

void Station::State::RunEnded(size_t index, const TargetRun& run) {
  const auto found = runs.find(index);
  if (found == runs.end()) return;
  const MacAddress mac = found->second;
  runs.erase(found);
  UnitOutcome outcome = UnitOutcome::kFailed;
  if (run.Succeeded()) {
    outcome = UnitOutcome::kPassed;
  }
  if (run.outcome == RunOutcome::kCancelled) outcome = UnitOutcome::kCancelled;
  End(mac, units.at(mac), outcome, run.error, run.restartConfirmed);
}

void Station::State::End(const MacAddress& mac, Unit& unit, UnitOutcome outcome, std::string error,
                         std::optional<bool> restartConfirmed) {
  const Target& target = *unit.target;
  const uint32_t now = GetTickCount();
  EndRecord end;
  end.started = unit.startedTime;
  end.ended = RecordTimeText(Now());
  end.mac = mac;
  end.product = target.Key();
  end.productName = ScriptProductName(script, target.Key());
  end.ipBefore = unit.ipBefore;
  if (target.ipAddress != 0) end.ipAfter = target.ipAddress;
  end.script = options.scriptPath;
  end.scriptSha256 = options.scriptSha256;
  end.images = images;
  end.unitValues = unit.values;
  end.outcome = outcome;
  if (outcome != UnitOutcome::kPassed) end.error = std::move(error);
  end.microseconds = GetMicrosecondCount() - unit.startedUs;
  end.bytesSent = target.bytesSent - unit.bytesBefore;
  end.resends = target.resends - unit.resendsBefore;
  end.restartConfirmed = restartConfirmed;
  end.version = kQorVersion;
  record.Append(end);
  if (csv) csv->Append(CsvLine(EndRecordCsvFields(end)));

  --inFlight;
  lastActivity = now;
  unit.display = nullptr;
  unit.outcome = outcome;
  if (outcome == UnitOutcome::kFailed && unit.retriesLeft > 0) {
    --unit.retriesLeft;
    unit.phase = Unit::Phase::kWaiting;
    waiting.push_back(mac);
  } else {
    unit.phase = Unit::Phase::kDone;
    if (outcome == UnitOutcome::kPassed) ++counts.passed;
    if (outcome == UnitOutcome::kFailed) ++counts.failed;
    if (outcome == UnitOutcome::kCancelled) ++counts.cancelled;
  }
  observer.UnitEnded(end);
}

void Station::State::CancelAddressing() {
  for (auto& [mac, unit] : units) {
    if (unit.phase == Unit::Phase::kAddressing)
      End(mac, unit, UnitOutcome::kCancelled, "Cancelled");
  }
}

void Station::State::Discover(bool first) {
  const uint32_t now = GetTickCount();
  bool due = first;
  if (first || now - roundAt >= kDiscoverEveryMs) {
    roundAt = now;
    repeats = 0;
    due = true;
  } else if (repeats < std::size(kRepeatAfterMs) && now - roundAt >= kRepeatAfterMs[repeats]) {
    ++repeats;
    due = true;
  } else if (probeAt && Reached(now, *probeAt)) {
    due = true;
  }
  if (!due) return;
  probeAt.reset();
  for (const auto& [mac, unit] : units) {
    if (unit.phase == Unit::Phase::kAddressing) probeAt = now + kProbeEveryMs;
  }
  try {
    network.RepeatDiscoverRequest();
    lastDiscoverFailure.clear();
  } catch (const Exception& error) {
    if (first) throw;
    // Once per failure, not every second while the cable is out.
    if (error.Message() != lastDiscoverFailure) observer.Note(error.Message());
    lastDiscoverFailure = error.Message();
  }
}

std::optional<StationStop> Station::State::StopDue() const {
  if (inFlight > 0) return std::nullopt;
  if (options.count > 0 && passedBefore + counts.passed >= options.count)
    return StationStop::kCount;
  if (exhausted) return StationStop::kExhausted;
  if (idleMs > 0 && waiting.empty() && GetTickCount() - lastActivity >= idleMs) {
    return StationStop::kIdle;
  }
  return std::nullopt;
}

Station::Station(const Script& script, TargetNetwork& network, StationRecord& record,
                 StationOptions options, StationObserver& observer)
    : state_(std::make_unique<State>(script, network, record, std::move(options), observer)) {
  State& s = *state_;
  if (s.options.jobs == 0) throw std::invalid_argument("A station runs at least one unit at once");
  const double idle = s.options.idleSeconds;
  // Written so that NaN fails too.
  if (!(idle >= 0 && idle <= RunSession::kMaxTimeoutSeconds)) {
    throw std::invalid_argument(
        Format("The idle time is 0 to %.0f seconds, not %g", RunSession::kMaxTimeoutSeconds, idle));
  }
  s.idleMs = static_cast<uint32_t>(std::ceil(idle * 1000.0));
  s.images = ScriptImages(script);
  if (!s.options.again) s.passedBefore = record.History().PassedCount(s.options.scriptSha256);
  RunSettings settings = s.options.run;
  settings.jobs = 0;
  settings.announcements = &s;
  s.session = std::make_unique<RunSession>(script, network, std::move(settings));
  if (!s.options.csvPath.empty()) {
    s.csv = std::make_unique<DurableFile>(s.options.csvPath);
    if (s.csv->Size() == 0) s.csv->Append(CsvLine(EndRecordCsvHeader()));
  }
}

Station::~Station() = default;

StationStop Station::Run() {
  State& s = *state_;
  const std::atomic<bool>* cancel = s.options.run.cancel;
  s.startTick = s.lastActivity = GetTickCount();
  s.session->Start(&s);
  s.Discover(/*first=*/true);
  for (;;) {
    s.session->Step();
    // Ctrl-C during the step, or after it: nothing new starts, what is in flight is cancelled.
    if ((cancel != nullptr && cancel->load()) || s.session->Cancelled()) {
      s.session->Step(0);  // cancels the runs going, if the step before did not see the flag
      s.CancelAddressing();
      return StationStop::kCancelled;
    }
    s.Confirm();
    s.StartWaiting();
    s.Discover(/*first=*/false);
    s.observer.Stepped();
    if (const auto stop = s.StopDue()) return *stop;
  }
}

Station::Counts Station::CurrentCounts() const {
  const State& s = *state_;
  Counts counts = s.counts;
  counts.waiting = s.waiting.size();
  counts.inFlight = s.inFlight;
  counts.elapsedMs = GetTickCount() - s.startTick;
  return counts;
}

std::optional<size_t> Station::PoolLeft() const {
  const State& s = *state_;
  if (s.options.pool == nullptr) return std::nullopt;
  return s.options.pool->Left(s.network.Table(), s.record.History());
}

bool Station::AllPassed() const {
  for (const auto& [mac, unit] : state_->units) {
    if (unit.touched && unit.outcome != UnitOutcome::kPassed) return false;
  }
  return true;
}

}  // namespace qor
