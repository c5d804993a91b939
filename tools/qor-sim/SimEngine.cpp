#include "tools/qor-sim/SimEngine.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "platform/TickCount.h"
#include "tools/qor-sim/SimDump.h"
#include "tools/qor-sim/SimModel.h"
#include "tools/qor-sim/SimTransport.h"
#include "tools/trace/TraceWriter.h"

namespace qor::sim {

struct SimEngine::State {
  SimOptions options;
  SystemTickSource systemClock;
  TickSource* clock = &systemClock;
  mutable std::mutex mutex;  // guards the model and the trace
  SimModel model;
  std::vector<TraceRecord> trace;
  std::unique_ptr<TraceWriter> traceFile;
  std::unique_ptr<SimTransport> transport;
  std::atomic<uint64_t> requestCount{0};
  SimOutput output;  // reused for every request, under the mutex

  explicit State(SimOptions o) : options(std::move(o)), model(options) {
    model.SetRecording(options.keepTrace || !options.tracePath.empty());
  }

  void Record(const TraceRecord& record) {
    if (options.keepTrace) trace.push_back(record);
    if (traceFile) traceFile->Write(record);
  }
  [[nodiscard]] SimTransport::Hooks Hooks();
  [[nodiscard]] SimReply Dump(const SimDumpRequest& dump, const SimDatagram& request);
};

// Writes the state to the dump file and answers "dumped", or "error: " and why. The file is
// written beside its place and then renamed, so a reader never finds half of it.
SimReply SimEngine::State::Dump(const SimDumpRequest& dump, const SimDatagram& request) {
  std::string answer = "dumped";
  if (!dump.error.empty()) {
    answer = "error: " + dump.error;
  } else if (request.length > request.bytes.size()) {
    answer = "error: request too long";
  } else {
    std::string text;
    {
      std::lock_guard lock(mutex);
      text = model.Dump(dump.regions, request.timeMs);
    }
    const std::string part = options.dumpPath + ".part";
    std::ofstream file(part, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    std::error_code error;
    if (file) std::filesystem::rename(part, options.dumpPath, error);
    if (!file || error) answer = "error: cannot write " + options.dumpPath;
  }
  SimReply reply;
  reply.bytes.assign(answer.begin(), answer.end());
  reply.source = request.destination;
  reply.destination = request.source;
  reply.destinationPort = request.sourcePort;
  reply.traced = false;
  return reply;
}

SimTransport::Hooks SimEngine::State::Hooks() {
  SimTransport::Hooks hooks;
  hooks.handle = [this](const SimDatagram& request, std::vector<SimReply>& replies) {
    if (!options.dumpPath.empty()) {
      if (const auto dump = ParseDumpRequest(request.bytes)) {
        if ((request.source >> 24) == 127) replies.push_back(Dump(*dump, request));
        return;
      }
    }
    ++requestCount;
    std::lock_guard lock(mutex);
    output.records.clear();
    output.replies.clear();
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
    model.CatchUp();
    if (traceFile) traceFile->Flush();
  };
  return hooks;
}

SimEngine::SimEngine(SimOptions options) : state_(std::make_unique<State>(std::move(options))) {}

SimEngine::SimEngine(SimOptions options, TickSource& clock) : SimEngine(std::move(options)) {
  state_->clock = &clock;
}

SimEngine::~SimEngine() { Stop(); }

void SimEngine::Start() {
  State& s = *state_;
  if (s.transport) return;
  const SimOptions& o = s.options;
  auto transport =
      std::make_unique<SimTransport>(o.bindAddress, o.port, o.replyDelayMs, *s.clock, s.Hooks());
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
