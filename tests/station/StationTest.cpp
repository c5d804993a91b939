// The station on a fake socket and a fake clock, with simulated targets answering in-process:
// targets appear over time, get addresses and their own values, and every unit is recorded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/RequestId.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"
#include "station/AddressPool.h"
#include "station/Station.h"
#include "station/StationObserver.h"
#include "station/StationRecord.h"
#include "station/UnitValues.h"
#include "tests/common/FakeDatagramSocket.h"
#include "tests/common/TempFiles.h"
#include "tests/common/TestImage.h"
#include "tools/qor-sim/SimModel.h"

namespace qor::test {
namespace {

using Json = nlohmann::json;

MacAddress Mac(uint8_t group, uint8_t last) { return MacAddress{{0x02, 0, 0, 0, group, last}}; }

uint32_t Ip(const std::string& text) { return *ParseIpAddress(text); }

class NullDisplay final : public ScriptDisplay {
 public:
  void SetOperationText(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
};

// Remembers what the station told, and keeps count of the units in flight.
class Watcher final : public StationObserver {
 public:
  std::vector<StartRecord> starts;
  std::vector<EndRecord> ends;
  std::vector<std::string> notes;
  std::vector<uint32_t> startedAt;  // tick counts
  size_t inFlight = 0;
  size_t mostInFlight = 0;
  std::function<void()> onStarted;

  ScriptDisplay& UnitStarted(const StartRecord& start) override {
    starts.push_back(start);
    startedAt.push_back(GetTickCount());
    mostInFlight = std::max(mostInFlight, ++inFlight);
    if (onStarted) onStarted();
    return display_;
  }
  void UnitEnded(const EndRecord& end) override {
    ends.push_back(end);
    --inFlight;
  }
  void Note(const std::string& text) override { notes.push_back(text); }

  [[nodiscard]] const EndRecord* EndOf(const MacAddress& mac) const {
    const EndRecord* last = nullptr;
    for (const EndRecord& end : ends) {
      if (end.mac == mac) last = &end;
    }
    return last;
  }
  [[nodiscard]] bool Noted(const std::string& text) const {
    return std::find(notes.begin(), notes.end(), text) != notes.end();
  }

 private:
  NullDisplay display_;
};

class StationTest : public ::testing::Test {
 public:  // the rows of a table set a test up through it
  static constexpr uint32_t kStart = 10000;

  StationTest() {
    auto owned = std::make_unique<FakeDatagramSocket>();
    socket = owned.get();
    network = std::make_unique<TargetNetwork>(std::move(owned));
    socket->onSend = [this](const FakeDatagramSocket::Datagram& sent) { Route(sent); };
    socket->onWait = [this](int timeoutMs) {
      if (++waits > 200000) throw std::runtime_error("the station never stopped");
      if (socket->incoming.empty()) clock.Advance(static_cast<uint32_t>(timeoutMs));
    };
    script = std::make_unique<Script>(files.Write("unit.qor", kStationScript), DirectiveRegistry());
    options.scriptPath = files.Folder() + "/unit.qor";
    options.scriptSha256 = std::string(64, 'a');
    options.run.runner.verifyDownloads = true;
    options.run.runner.silence.requestMs = 2000;
    options.run.cancel = &cancel;
    options.idleSeconds = 5;
    options.clock = [this] {
      return std::chrono::system_clock::time_point(std::chrono::milliseconds(1'800'000'000'000) +
                                                   std::chrono::milliseconds(clock.Now()));
    };
    ResetRequestIds();
  }
  ~StationTest() override { ResetRequestIds(); }

  // count targets from MAC 02:00:00:00:group:01 on, at firstAddress on (0: none), which answer
  // from appearsAt ms after the start.
  sim::SimModel& AddTargets(uint32_t count, uint8_t group, uint32_t firstAddress = 0,
                            uint32_t appearsAt = 0, uint16_t product = 1) {
    sim::SimOptions sim;
    sim.targets = count;
    sim.firstMac = Mac(group, 1);
    sim.firstAddress = firstAddress;
    sim.productId = product;
    fleets.push_back({std::make_unique<sim::SimModel>(sim), kStart + appearsAt});
    return *fleets.back().model;
  }

  void Route(const FakeDatagramSocket::Datagram& sent) {
    const auto header = wire::Header::Decode(sent.bytes);
    if (header && header->type == kAssignAddressRequest && deaf.contains(header->mac)) return;
    for (auto& fleet : fleets) {
      if (static_cast<int32_t>(clock.Now() - fleet.appearsAt) < 0) continue;
      sim::SimDatagram datagram;
      datagram.bytes = sent.bytes;
      datagram.length = sent.bytes.size();
      datagram.source = 0x7F000001;
      datagram.sourcePort = 40000;
      datagram.destination = sent.address;
      sim::SimOutput output;
      fleet.model->Handle(datagram, output);
      for (const sim::SimReply& reply : output.replies) {
        socket->Deliver(reply.bytes, kTargetPort, reply.source);
      }
    }
  }

  void UsePool(AddressPool made) {
    pool = std::make_unique<AddressPool>(std::move(made));
    options.pool = pool.get();
  }
  void UseValues(const std::string& name, const std::string& text) {
    values = std::make_unique<UnitValues>(UnitValues::File(files.Write(name, text)));
    options.values = values.get();
  }

  StationStop Run() {
    record = std::make_unique<StationRecord>(recordPath);
    station = std::make_unique<Station>(*script, *network, *record, options, watcher);
    return station->Run();
  }

  // Each line of the record, parsed: a line that does not parse fails the test.
  std::vector<Json> RecordLines() const {
    std::ifstream in(recordPath, std::ios::binary);
    std::vector<Json> lines;
    std::string line;
    while (std::getline(in, line)) {
      lines.push_back(Json::parse(line));
      EXPECT_TRUE(lines.back().is_object()) << line;
    }
    return lines;
  }

  // Who got what: each MAC's address, from the targets themselves.
  std::map<MacAddress, uint32_t> Addresses() const {
    std::map<MacAddress, uint32_t> addresses;
    for (const auto& fleet : fleets) {
      for (const auto& info : fleet.model->Targets()) addresses[info.mac] = info.ipAddress;
    }
    return addresses;
  }

  const sim::SimModel& FleetOf(const MacAddress& mac) const {
    for (const auto& fleet : fleets) {
      if (fleet.model->FindTarget(mac)) return *fleet.model;
    }
    throw std::runtime_error("no such target");
  }

  struct Fleet {
    std::unique_ptr<sim::SimModel> model;
    uint32_t appearsAt = 0;
  };

  FakeTickSource clock{kStart};
  ScopedTickSource installed{clock};
  FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
  std::vector<Fleet> fleets;
  std::set<MacAddress> deaf;  // these never take an address
  int waits = 0;
  TempFiles files;
  std::string recordPath = files.Folder() + "/record.jsonl";
  std::unique_ptr<Script> script;
  std::atomic<bool> cancel{false};
  StationOptions options;
  Watcher watcher;
  std::unique_ptr<AddressPool> pool;
  std::unique_ptr<UnitValues> values;
  std::unique_ptr<StationRecord> record;
  std::unique_ptr<Station> station;
};

// Units come and go while others run: ten of them, four appearing three seconds in, each with
// an address from the pool that no one else holds or was given, and the next row of values.
TEST_F(StationTest, EveryUnitThatAppearsGetsItsOwnAddressValuesAndRecord) {
  AddTargets(6, 1);
  AddTargets(4, 2, 0, /*appearsAt=*/3000);
  AddTargets(1, 9, Ip("127.0.1.2"), 0, /*product=*/2);  // a stranger inside the range
  AddTargets(1, 8, Ip("127.0.1.5"), 0, /*product=*/2);  // another one
  std::string rows = "serial,hostname\n";
  for (int i = 1; i <= 12; ++i) rows += Format("SN%04d,unit-%d\n", i, i);
  UseValues("values.csv", rows);
  UsePool(AddressPool::Range("127.0.1.1-127.0.1.20"));
  options.jobs = 3;
  options.count = 10;
  options.csvPath = files.Folder() + "/ends.csv";
  EXPECT_EQ(Run(), StationStop::kCount);

  ASSERT_EQ(watcher.ends.size(), 10u);
  EXPECT_EQ(watcher.mostInFlight, 3u);
  EXPECT_TRUE(station->AllPassed());
  EXPECT_EQ(station->CurrentCounts().passed, 10u);
  EXPECT_EQ(station->PoolLeft(), 20u - 10u - 2u);
  std::set<uint32_t> given;
  for (size_t i = 0; i < watcher.ends.size(); ++i) {
    const EndRecord& end = watcher.ends[i];
    SCOPED_TRACE(end.mac.ToString());
    EXPECT_EQ(end.outcome, UnitOutcome::kPassed) << end.error.value_or("");
    ASSERT_TRUE(end.ipAfter.has_value());
    EXPECT_EQ(end.ipBefore, std::nullopt);
    EXPECT_TRUE(given.insert(*end.ipAfter).second) << "an address given twice";
    EXPECT_NE(*end.ipAfter, Ip("127.0.1.2"));
    EXPECT_NE(*end.ipAfter, Ip("127.0.1.5"));
    EXPECT_EQ(Addresses().at(end.mac), *end.ipAfter);
    const sim::SimModel& fleet = FleetOf(end.mac);
    EXPECT_EQ(fleet.ReadMemory(end.mac, 0x10000, 0x800), ImageBytes());
    EXPECT_EQ(fleet.FindTarget(end.mac)->restarts, 1u);
    // The values the unit was given, in the order units started, are the ones on the target.
    ASSERT_TRUE(end.unitValues.has_value());
    const auto environment = fleet.Environment(end.mac);
    EXPECT_EQ(environment.at("serial"), end.unitValues->at(0).second);
    EXPECT_EQ(environment.at("hostname"), end.unitValues->at(1).second);
    EXPECT_EQ(environment.at("bootdelay"), "3") << "the rest of the table kept";
    EXPECT_EQ(end.productName, "Demo Board");
    ASSERT_EQ(end.images.size(), 1u);
    EXPECT_EQ(end.images[0].length, 0x800u);
    EXPECT_GT(end.bytesSent, 0u);
  }
  std::set<std::string> serials;
  for (size_t i = 0; i < watcher.starts.size(); ++i) {
    serials.insert(watcher.starts[i].unitValues->at(0).second);
    // Those that appeared later started once they had.
    if (watcher.starts[i].mac.bytes[4] == 2) {
      EXPECT_GE(watcher.startedAt[i], kStart + 3000);
    }
  }
  EXPECT_EQ(serials.size(), 10u);
  EXPECT_EQ(*serials.begin(), "SN0001");
  EXPECT_EQ(*serials.rbegin(), "SN0010") << "rows handed out in order";
  EXPECT_TRUE(watcher.Noted(
      "Passed over 02:00:00:00:09:01: product 0x1234:0x0002 is not among the script's *script "
      "entries"));

  // The record: a start and an end line for each unit, the start first.
  const std::vector<Json> lines = RecordLines();
  ASSERT_EQ(lines.size(), 20u);
  std::map<std::string, int> events;
  for (const Json& line : lines) {
    const std::string mac = line.at("mac");
    if (line.at("event") == "start") {
      EXPECT_EQ(events[mac]++, 0) << mac;
      EXPECT_EQ(line.at("script_sha256"), options.scriptSha256);
    } else {
      EXPECT_EQ(events[mac]++, 1) << mac;
      EXPECT_EQ(line.at("outcome"), "passed");
      EXPECT_EQ(line.at("images").at(0).at("crc32"), watcher.ends[0].images[0].crc32);
    }
  }
  std::ifstream csv(options.csvPath, std::ios::binary);
  const std::string csvText((std::istreambuf_iterator<char>(csv)), {});
  EXPECT_EQ(csvText.rfind("started,ended,mac,vendor,product,product_name,ip_before,", 0), 0u);
  EXPECT_EQ(std::count(csvText.begin(), csvText.end(), '\n'), 11);
  EXPECT_EQ(std::count(csvText.begin(), csvText.end(), '\r'), 11) << "CR LF line ends";
}

// What the pool, the map and the unit values cannot give: a unit waits, is passed over, or
// fails with the reason, and the station stops as it should.
TEST_F(StationTest, WhatThePoolTheMapAndTheValuesCannotGive) {
  struct Outcome {
    MacAddress mac;
    UnitOutcome outcome;
    std::string error;  // empty when it passed
  };
  struct Row {
    const char* what;
    std::function<void(StationTest&)> setUp;
    StationStop stop;
    std::vector<Outcome> outcomes;  // every unit that started, by its last end
    std::string note;               // one that must be among the notes; empty for none
  };
  const std::string folder = files.Folder();
  const std::vector<Row> rows = {
      {"an exhausted pool: units in flight finish, no other starts",
       [](StationTest& t) {
         t.AddTargets(5, 1);
         t.AddTargets(1, 9, Ip("127.0.1.2"), 0, 2);
         t.UsePool(AddressPool::Range("127.0.1.1-127.0.1.3"));
       },
       StationStop::kExhausted,
       {{Mac(1, 1), UnitOutcome::kPassed, ""}, {Mac(1, 2), UnitOutcome::kPassed, ""}},
       "The address pool 127.0.1.1-127.0.1.3 is exhausted: every address is held or given"},
      {"a MAC the map does not list is passed over",
       [](StationTest& t) {
         t.AddTargets(3, 1);
         t.UsePool(AddressPool::MapFile(t.files.Write(
             "map.csv", "mac,ip\n02:00:00:00:01:01,127.0.1.10\n02-00-00-00-01-02, 127.0.1.11\n")));
       },
       StationStop::kIdle,
       {{Mac(1, 1), UnitOutcome::kPassed, ""}, {Mac(1, 2), UnitOutcome::kPassed, ""}},
       "Passed over 02:00:00:00:01:03: the address map \"" + folder +
           "/map.csv\" has no line "
           "for it"},
      {"the map's address held by another target",
       [](StationTest& t) {
         t.AddTargets(1, 1);
         t.AddTargets(1, 9, Ip("127.0.1.10"), 0, 2);
         t.UsePool(
             AddressPool::MapFile(t.files.Write("held.csv", "02:00:00:00:01:01,127.0.1.10\n")));
       },
       StationStop::kIdle,
       {{Mac(1, 1), UnitOutcome::kFailed,
         "The address map gives 02:00:00:00:01:01 127.0.1.10, which 02:00:00:00:09:01 holds"}},
       ""},
      {"a unit that never takes its address fails after --wait",
       [](StationTest& t) {
         t.AddTargets(2, 1);
         t.deaf.insert(Mac(1, 1));
         t.UsePool(AddressPool::Range("127.0.1.1-127.0.1.9"));
         t.options.confirmMs = 1500;
       },
       StationStop::kIdle,
       {{Mac(1, 1), UnitOutcome::kFailed,
         "02:00:00:00:01:01 still reports Unassigned 1500 ms after it was given 127.0.1.1"},
        {Mac(1, 2), UnitOutcome::kPassed, ""}},
       ""},
      {"values by MAC: a unit without a row fails",
       [](StationTest& t) {
         t.AddTargets(3, 1, Ip("127.0.0.10"));
         t.UseValues("by-mac.csv", "serial,MAC\nSN-B,02:00:00:00:01:02\nSN-A,02:00:00:00:01:01\n");
       },
       StationStop::kIdle,
       {{Mac(1, 1), UnitOutcome::kPassed, ""},
        {Mac(1, 2), UnitOutcome::kPassed, ""},
        {Mac(1, 3), UnitOutcome::kFailed,
         "\"" + folder + "/by-mac.csv\" has no row for 02:00:00:00:01:03"}},
       ""},
      {"values in order: none left for the third unit",
       [](StationTest& t) {
         t.AddTargets(3, 1, Ip("127.0.0.10"));
         t.options.jobs = 1;
         t.UseValues("two.csv", "serial\nSN-1\nSN-2\n");
       },
       StationStop::kIdle,
       {{Mac(1, 1), UnitOutcome::kPassed, ""},
        {Mac(1, 2), UnitOutcome::kPassed, ""},
        {Mac(1, 3), UnitOutcome::kFailed,
         "No row of \"" + folder +
             "/two.csv\" is left for 02:00:00:00:01:03: all 2 were given to other units"}},
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    StationTest& t = *this;
    fleets.clear();
    deaf.clear();
    watcher = Watcher();
    options.pool = nullptr;
    options.values = nullptr;
    pool.reset();
    values.reset();
    options.jobs = 4;
    options.confirmMs = 3000;
    station.reset();
    record.reset();
    std::filesystem::remove(recordPath);
    network = std::make_unique<TargetNetwork>([this] {
      auto owned = std::make_unique<FakeDatagramSocket>();
      owned->onSend = socket->onSend;
      owned->onWait = socket->onWait;
      socket = owned.get();
      return owned;
    }());
    row.setUp(t);
    EXPECT_EQ(Run(), row.stop);
    ASSERT_EQ(watcher.starts.size(), watcher.ends.size());
    std::map<MacAddress, const EndRecord*> last;
    for (const EndRecord& end : watcher.ends) last[end.mac] = &end;
    ASSERT_EQ(last.size(), row.outcomes.size());
    for (const Outcome& expected : row.outcomes) {
      SCOPED_TRACE(expected.mac.ToString());
      ASSERT_TRUE(last.contains(expected.mac));
      const EndRecord& end = *last.at(expected.mac);
      EXPECT_EQ(end.outcome, expected.outcome);
      EXPECT_EQ(end.error.value_or(""), expected.error);
      if (expected.outcome == UnitOutcome::kPassed) {
        EXPECT_EQ(FleetOf(end.mac).ReadMemory(end.mac, 0x10000, 0x800), ImageBytes());
      }
    }
    if (!row.note.empty()) {
      EXPECT_TRUE(watcher.Noted(row.note)) << testing::PrintToString(watcher.notes);
    }
    EXPECT_EQ(station->AllPassed(),
              std::all_of(row.outcomes.begin(), row.outcomes.end(),
                          [](const Outcome& o) { return o.outcome == UnitOutcome::kPassed; }));
    EXPECT_EQ(RecordLines().size(), 2 * watcher.ends.size());
  }
}

// A new station reads the record: who passed this script is passed over (--again runs them),
// who started without an end (a crash) is taken again with the address and values it was given,
// who failed is passed over (--retry-failed runs them), and a torn last line is cut off.
TEST_F(StationTest, ResumesFromTheRecord) {
  const std::string sha = options.scriptSha256;
  const auto start = [&](int group, const char* ip, const char* values = nullptr) {
    return Format(
        R"({"event":"start","time":"2027-01-01T08:00:0%d.000Z","mac":"02:00:00:00:0%d:01",)"
        R"("ip_before":null,"ip":"%s","script":"x","script_sha256":"%s",)"
        R"("unit_values":%s,"qorctl":"0.1.0"})"
        "\n",
        group, group, ip, sha.c_str(), values != nullptr ? values : "null");
  };
  const auto end = [&](int group, const char* ip, const char* outcome, const std::string& script) {
    return Format(R"({"event":"end","started":"2027-01-01T08:00:0%d.000Z",)"
                  R"("ended":"2027-01-01T08:01:0%d.000Z","mac":"02:00:00:00:0%d:01",)"
                  R"("ip_after":"%s","script_sha256":"%s","outcome":"%s"})"
                  "\n",
                  group, group, group, ip, script.c_str(), outcome);
  };
  const std::string before =
      start(1, "127.0.1.1") + end(1, "127.0.1.1", "passed", sha) +
      start(2, "127.0.1.7", R"({"serial":"SN0005"})") +  // then the power went
      start(3, "127.0.1.3") + end(3, "127.0.1.3", "failed", sha) + start(4, "127.0.1.4") +
      end(4, "127.0.1.4", "cancelled", sha) +
      end(5, "127.0.0.99", "passed", std::string(64, 'b'));  // another script's
  const std::string torn = R"({"event":"start","time":"2027-)";
  struct Row {
    const char* what;
    bool again;
    bool retryFailed;
    std::set<int> run;  // the groups whose units start
  };
  const Row rows[] = {
      {"resumed", false, false, {2, 4, 5}},
      {"--retry-failed", false, true, {2, 3, 4, 5}},
      {"--again", true, false, {1, 2, 4, 5}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fleets.clear();
    watcher = Watcher();
    station.reset();
    record.reset();
    files.Write("record.jsonl", before + torn);
    AddTargets(1, 1, Ip("127.0.1.1"));
    AddTargets(1, 2);  // the crash came before its address went out
    AddTargets(1, 3, Ip("127.0.1.3"));
    AddTargets(1, 4, Ip("127.0.1.4"));
    AddTargets(1, 5);
    UsePool(AddressPool::Range("127.0.1.1-127.0.1.20"));
    UseValues("values.csv", "serial\nSN0001\nSN0002\nSN0003\nSN0004\nSN0005\nSN0006\n");
    options.again = row.again;
    options.retryFailed = row.retryFailed;
    EXPECT_EQ(Run(), StationStop::kIdle);
    ASSERT_EQ(record->Warnings().size(), 1u);
    EXPECT_EQ(record->Warnings()[0],
              "The last line of \"" + recordPath +
                  "\" was cut short, by a crash or a power cut; its 30 bytes were removed");
    std::set<int> run;
    for (const StartRecord& started : watcher.starts) run.insert(started.mac.bytes[4]);
    EXPECT_EQ(run, row.run);
    std::set<uint32_t> addresses;
    for (const EndRecord& ended : watcher.ends) {
      EXPECT_EQ(ended.outcome, UnitOutcome::kPassed) << ended.error.value_or("");
      addresses.insert(*ended.ipAfter);
    }
    EXPECT_EQ(addresses.size(), watcher.ends.size()) << "no address given twice";
    // The interrupted unit gets what it was given; the new one what nobody was given.
    const EndRecord& interrupted = *watcher.EndOf(Mac(2, 1));
    EXPECT_EQ(interrupted.ipAfter, Ip("127.0.1.7"));
    EXPECT_EQ(interrupted.unitValues, (UnitValueList{{"serial", "SN0005"}}));
    const EndRecord& fresh = *watcher.EndOf(Mac(5, 1));
    EXPECT_EQ(fresh.ipAfter, Ip("127.0.1.2"));
    std::set<UnitValueList> rowsGiven;
    for (const EndRecord& ended : watcher.ends) rowsGiven.insert(*ended.unitValues);
    EXPECT_EQ(rowsGiven.size(), watcher.ends.size()) << "no row given twice";
    EXPECT_TRUE(rowsGiven.contains(UnitValueList{{"serial", "SN0001"}}));
    if (!row.again) {
      EXPECT_TRUE(watcher.Noted(
          "Passed over 02:00:00:00:01:01: it passed this script at 2027-01-01T08:01:01.000Z "
          "(--again runs it again)"));
    }
    if (!row.retryFailed) {
      EXPECT_TRUE(watcher.Noted(
          "Passed over 02:00:00:00:03:01: it failed this script at 2027-01-01T08:01:03.000Z "
          "(--retry-failed runs it again)"));
    }
    // What was there stays, the torn line goes, each unit run adds a start and an end.
    const std::vector<Json> lines = RecordLines();
    EXPECT_EQ(lines.size(), 8u + 2 * row.run.size());
    std::ifstream in(recordPath, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text.rfind(before, 0), 0u);
  }
}

// --idle stops a station that has nothing to do; --retries tries a failed unit again; Ctrl-C
// cancels the units in flight, addressed or running, and records them as cancelled.
TEST_F(StationTest, IdleRetriesAndCancel) {
  options.idleSeconds = 2.5;
  EXPECT_EQ(Run(), StationStop::kIdle);
  EXPECT_GE(clock.Now() - kStart, 2500u);
  EXPECT_LT(clock.Now() - kStart, 2500u + RunSession::kStepMs);
  EXPECT_TRUE(watcher.starts.empty());
  EXPECT_TRUE(station->AllPassed());

  station.reset();
  record.reset();
  AddTargets(1, 1);
  deaf.insert(Mac(1, 1));
  UsePool(AddressPool::Range("127.0.1.1-127.0.1.9"));
  options.confirmMs = 500;
  options.retries = 1;
  EXPECT_EQ(Run(), StationStop::kIdle);
  ASSERT_EQ(watcher.ends.size(), 2u) << "once, and once again";
  for (const EndRecord& end : watcher.ends) {
    EXPECT_EQ(end.outcome, UnitOutcome::kFailed);
    EXPECT_EQ(end.ipAfter, std::nullopt);
    EXPECT_GE(end.microseconds, 500'000u);
  }
  EXPECT_EQ(watcher.starts[1].ip, Ip("127.0.1.1")) << "the same address again";
  EXPECT_FALSE(station->AllPassed());
  EXPECT_EQ(station->CurrentCounts().failed, 1u);

  station.reset();
  record.reset();
  std::filesystem::remove(recordPath);
  watcher = Watcher();
  fleets.clear();
  deaf.clear();
  options.retries = 0;
  AddTargets(3, 2);
  options.jobs = 2;
  // Ctrl-C once the second unit has started: the first is running, the second being addressed.
  watcher.onStarted = [&] {
    if (watcher.starts.size() == 2) cancel = true;
  };
  EXPECT_EQ(Run(), StationStop::kCancelled);
  ASSERT_EQ(watcher.ends.size(), 2u);
  for (const EndRecord& end : watcher.ends) {
    EXPECT_EQ(end.outcome, UnitOutcome::kCancelled);
    EXPECT_EQ(end.error, "Cancelled");
  }
  EXPECT_EQ(station->CurrentCounts().cancelled, 2u);
  EXPECT_EQ(station->CurrentCounts().waiting, 1u) << "the third never started";
  EXPECT_FALSE(station->AllPassed());
  const std::vector<Json> lines = RecordLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3].at("outcome"), "cancelled");
}

}  // namespace
}  // namespace qor::test
