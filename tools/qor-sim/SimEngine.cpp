#include "tools/qor-sim/SimEngine.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/TickCount.h"
#include "tools/qor-sim/SimModel.h"
#include "tools/qor-sim/SimTransport.h"
#include "tools/trace/TraceWriter.h"

namespace qor::sim {

struct SimEngine::State {
  SimOptions options;
  SystemTickSource clock;
  mutable std::mutex mutex;  // guards the model and the trace
  SimModel model;
  std::vector<TraceRecord> trace;
  std::unique_ptr<TraceWriter> traceFile;
  std::unique_ptr<SimTransport> transport;
  std::atomic<uint64_t> requestCount{0};

  explicit State(SimOptions o) : options(std::move(o)), model(options) {}

  void Record(const TraceRecord& record) {
    if (options.keepTrace) trace.push_back(record);
    if (traceFile) traceFile->Write(record);
  }
  [[nodiscard]] SimTransport::Hooks Hooks();
};

SimTransport::Hooks SimEngine::State::Hooks() {
  SimTransport::Hooks hooks;
  hooks.handle = [this](const SimDatagram& request, std::vector<SimReply>& replies) {
    ++requestCount;
    SimOutput output;
    std::lock_guard lock(mutex);
    model.Handle(request, output);
    for (const TraceRecord& record : output.records) Record(record);
    for (SimReply& reply : output.replies) replies.push_back(std::move(reply));
  };
  hooks.record = [this](const TraceRecord& record) {
    std::lock_guard lock(mutex);
    Record(record);
  };
  hooks.idle = [this] {
    std::lock_guard lock(mutex);
    if (traceFile) traceFile->Flush();
  };
  return hooks;
}

SimEngine::SimEngine(SimOptions options) : state_(std::make_unique<State>(std::move(options))) {}

SimEngine::~SimEngine() { Stop(); }

void SimEngine::Start() {
  State& s = *state_;
  if (s.transport) return;
  const SimOptions& o = s.options;
  auto transport =
      std::make_unique<SimTransport>(o.bindAddress, o.port, o.replyDelayMs, s.clock, s.Hooks());
  transport->Open();
  if (!o.tracePath.empty()) s.traceFile = std::make_unique<TraceWriter>(o.tracePath);
  s.transport = std::move(transport);
  s.transport->Start();
}

void SimEngine::Stop() {
  State& s = *state_;
  if (s.transport) {
    s.transport->Stop();
    s.transport.reset();
  }
  s.traceFile.reset();
}

std::vector<SimTargetInfo> SimEngine::Targets() const {
  std::lock_guard lock(state_->mutex);
  return state_->model.Targets();
}

std::optional<SimTargetInfo> SimEngine::FindTarget(const MacAddress& mac) const {
  std::lock_guard lock(state_->mutex);
  return state_->model.FindTarget(mac);
}

std::vector<uint8_t> SimEngine::ReadMemory(const MacAddress& mac, uint32_t address,
                                           uint32_t length) const {
  std::lock_guard lock(state_->mutex);
  return state_->model.ReadMemory(mac, address, length);
}

void SimEngine::WriteMemory(const MacAddress& mac, uint32_t address,
                            const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(state_->mutex);
  state_->model.WriteMemory(mac, address, bytes);
}

std::map<std::string, std::string> SimEngine::Environment(const MacAddress& mac) const {
  std::lock_guard lock(state_->mutex);
  return state_->model.Environment(mac);
}

std::vector<TraceRecord> SimEngine::Trace() const {
  std::lock_guard lock(state_->mutex);
  return state_->trace;
}

uint64_t SimEngine::RequestCount() const { return state_->requestCount.load(); }

}  // namespace qor::sim
