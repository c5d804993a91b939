// Whole runs on many targets at once over a fake socket and a fake clock: no sleep, no process.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/RunObserver.h"
#include "exec/RunSession.h"
#include "net/Crc32.h"
#include "net/TargetEnvironment.h"
#include "platform/Format.h"
#include "script/Script.h"
#include "tests/common/TempFiles.h"
#include "tests/common/TestImage.h"
#include "tests/exec/ExecHarness.h"

namespace qor::test {
namespace {

constexpr const char* kImageScript =
    "*section \"Parameter table\"\n"
    "*download 0x00010000 0x800\n"
    "S30D000100000102030405060708E6\n"
    "S30900010600CAFEBABE00\n";

// The far side of one target, as much of it as a run needs; it answers every request at once.
struct FakeTarget {
  Target* record = nullptr;
  std::vector<uint8_t> staging;
  std::map<uint32_t, std::vector<uint8_t>> memory;  // written images by address
  uint32_t restarts = 0;
  std::map<uint16_t, uint32_t> failures;  // request type: the status answered instead
  std::set<uint16_t> ignored;             // request types it never answers
  // From 1 on: every lossEvery-th request of any type goes unanswered, as on a lossy link.
  int lossEvery = 0;
  int requests = 0;
  // The memory keeps a byte other than the one written at this address (a failing flash cell).
  std::optional<uint32_t> stuckAt;
};

struct Ended {
  size_t index;
  RunOutcome outcome;
  uint32_t at;  // tick count
};

class Recorder final : public RunObserver {
 public:
  std::vector<Ended> ended;
  int steps = 0;
  void RunEnded(size_t index, const TargetRun& run) override {
    ended.push_back({index, run.outcome, GetTickCount()});
  }
  void Stepped() override { ++steps; }
};

class RunSessionTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kStart = 7000;

  RunSessionTest() {
    auto owned = std::make_unique<FakeDatagramSocket>();
    socket = owned.get();
    network = std::make_unique<TargetNetwork>(std::move(owned));
    socket->onSend = [this](const FakeDatagramSocket::Datagram& sent) { Answer(sent); };
    socket->onWait = [this](int timeoutMs) {
      if (++waits > 100000) throw std::runtime_error("the run never ended");
      // Nothing arrives: the wait lasts its whole timeout, or waitMs when a test says so.
      if (socket->incoming.empty())
        clock.Advance(waitMs > 0 ? waitMs : static_cast<uint32_t>(timeoutMs));
    };
    ResetRequestIds();
  }
  ~RunSessionTest() override { ResetRequestIds(); }

  // Target 02:00:00:00:00:<last> at 127.0.0.<9 + last>, or without an address.
  FakeTarget& AddTarget(uint8_t last, bool addressed = true, uint32_t stagingSize = 0x10000) {
    Target record;
    record.mac.bytes = {0x02, 0x00, 0x00, 0x00, 0x00, last};
    record.ipAddress = addressed ? 0x7F000009u + last : 0;
    record.vendorId = 0x1234;
    record.productId = 0x0001;
    record.stagingSize = stagingSize;
    FakeTarget& fake = targets[record.mac];
    fake.record = network->Table().Insert(record);
    displays.push_back(std::make_unique<RecordingDisplay>());
    return fake;
  }

  void Answer(const FakeDatagramSocket::Datagram& request) {
    const auto head = wire::RequestIdHeader::Decode(request.bytes);
    ASSERT_TRUE(head.has_value());
    const uint16_t type = head->header.type;
    const auto found = targets.find(head->header.mac);
    ASSERT_NE(found, targets.end());
    FakeTarget& target = found->second;
    ASSERT_EQ(request.address, target.record->ipAddress);
    if (target.ignored.count(type) != 0) return;
    if (target.lossEvery > 0 && ++target.requests % target.lossEvery == 0) return;
    wire::FinalReply reply;
    reply.mac = target.record->mac;
    reply.requestId = head->requestId;
    reply.status = target.failures.count(type) != 0 ? target.failures.at(type) : 0;
    if (reply.status == 0) reply.status = CarryOut(target, type, request.bytes, reply.payload);
    socket->Deliver(reply.Encode(), kTargetPort, target.record->ipAddress);
  }

  static uint32_t CarryOut(FakeTarget& target, uint16_t type, const wire::Bytes& bytes,
                           std::vector<uint8_t>& payload) {
    std::vector<uint8_t>& staging = target.staging;
    if (const auto fill = wire::FillRequest::Decode(bytes); fill && type == kFillRequest) {
      staging.assign(fill->length, 0xFF);
    }
    if (const auto data = wire::DataRequest::Decode(bytes); data && type == kDataRequest) {
      if (data->offset + data->data.size() > staging.size()) return 2;
      std::copy(data->data.begin(), data->data.end(), staging.begin() + data->offset);
    }
    if (const auto write = wire::WriteRequest::Decode(bytes); write && type == kWriteRequest) {
      if (write->length > staging.size()) return 2;
      if (Crc32(static_cast<int32_t>(write->length), staging.data()) != write->crc) return 3;
      std::vector<uint8_t>& written = target.memory[write->address];
      written.assign(staging.begin(), staging.begin() + write->length);
      if (target.stuckAt && *target.stuckAt >= write->address &&
          *target.stuckAt - write->address < written.size()) {
        written[*target.stuckAt - write->address] ^= 0x10;
      }
    }
    if (const auto read = wire::ReadRequest::Decode(bytes); read && type == kReadRequest) {
      // Reads only what was written, in one piece.
      for (const auto& [address, written] : target.memory) {
        if (read->address >= address && read->address + read->length <= address + written.size()) {
          const auto from = written.begin() + (read->address - address);
          payload.assign(from, from + read->length);
          return 0;
        }
      }
      return 2;
    }
    if (type == kRestartRequest) ++target.restarts;
    return 0;
  }

  // Back to no targets and a clock at kStart, for the next row of a table.
  void Reset() {
    session.reset();
    targets.clear();
    displays.clear();
    network->Table().Clear();
    socket->sent.clear();
    socket->incoming.clear();
    observer = Recorder();
    waits = 0;
    clock.Set(kStart);
  }

  FakeTarget& Fake(size_t index) { return targets.at(session->Runs().at(index).target->mac); }

  // Runs script on every target added, in the order added.
  const std::vector<TargetRun>& Run(const std::string& script, RunSettings settings = {}) {
    scriptFile = std::make_unique<Script>(files.Write("run.qor", script), DirectiveRegistry());
    session = std::make_unique<RunSession>(*scriptFile, *network, std::move(settings));
    size_t i = 0;
    for (Target* target : network->Table().InArrivalOrder())
      session->AddTarget(*target, *displays[i++]);
    session->Run(&observer);
    return session->Runs();
  }

  size_t SentTo(const Target& target) const {
    size_t count = 0;
    for (const auto& datagram : socket->sent) {
      if (wire::Header::Decode(datagram.bytes)->mac == target.mac) ++count;
    }
    return count;
  }

  FakeTickSource clock{kStart};
  ScopedTickSource installed{clock};
  FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
  std::map<MacAddress, FakeTarget> targets;
  std::vector<std::unique_ptr<RecordingDisplay>> displays;
  uint32_t waitMs = 0;
  int waits = 0;
  TempFiles files;
  std::unique_ptr<Script> scriptFile;
  std::unique_ptr<RunSession> session;
  Recorder observer;
};

TEST_F(RunSessionTest, RunsOnEightTargetsAtOnceAndEveryImageLands) {
  for (uint8_t last = 1; last <= 8; ++last) AddTarget(last);
  const auto& runs = Run(kImageScript);
  ASSERT_EQ(runs.size(), 8u);
  EXPECT_TRUE(session->Succeeded());
  // All at once: the first step asks every target to fill its buffer before any data goes.
  std::set<MacAddress> filled;
  for (size_t i = 0; i < 8; ++i) {
    const auto& first = socket->sent.at(i).bytes;
    EXPECT_EQ(wire::Header::Decode(first)->type, kFillRequest);
    filled.insert(wire::Header::Decode(first)->mac);
  }
  EXPECT_EQ(filled.size(), 8u);
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].outcome, RunOutcome::kFinished);
    EXPECT_EQ(runs[i].error, "");
    EXPECT_EQ(Fake(i).memory.at(0x10000), ImageBytes()) << "target " << i;
    EXPECT_EQ(runs[i].target->pendingContext, nullptr);
    EXPECT_EQ(displays[i]->Operation(), "Parameter table");
  }
  EXPECT_EQ(observer.ended.size(), 8u);
  EXPECT_EQ(SentTo(*runs[0].target), 4u);  // fill, two chunks, write: nothing resent
  size_t bytes = 0;
  for (const auto& datagram : socket->sent) {
    if (wire::Header::Decode(datagram.bytes)->mac == runs[0].target->mac)
      bytes += datagram.bytes.size();
  }
  EXPECT_EQ(runs[0].bytesSent, bytes);
  EXPECT_EQ(runs[0].resends, 0u);
}

TEST_F(RunSessionTest, ATimeLimitCancelsExactlyWhenItIsReached) {
  struct Row {
    double seconds;
    uint32_t limitMs;
    const char* text;
  };
  const Row rows[] = {
      {0.05, 50, "Timed out after 0.05 seconds; the run was cancelled"},
      // Below a millisecond is still a limit, not "none".
      {0.0004, 1, "Timed out after 0.0004 seconds; the run was cancelled"},
      {0.0201, 21, "Timed out after 0.0201 seconds; the run was cancelled"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Reset();
    AddTarget(1).ignored = {kRestartRequest};  // restarts without a word
    AddTarget(2);
    waitMs = 1;  // each wait ends after a millisecond, so every one of them is seen
    RunSettings settings;
    settings.timeoutSeconds = row.seconds;
    const auto& runs = Run("*restart\n", settings);
    EXPECT_EQ(runs[0].outcome, RunOutcome::kTimedOut);
    EXPECT_EQ(runs[0].error, row.text);
    EXPECT_EQ(runs[0].elapsedMs, row.limitMs);
    EXPECT_EQ(runs[0].target->pendingContext, nullptr);
    EXPECT_EQ(runs[1].outcome, RunOutcome::kFinished);
    ASSERT_EQ(observer.ended.size(), 2u);
    EXPECT_EQ(observer.ended[1].index, 0u);
    EXPECT_EQ(observer.ended[1].at, kStart + row.limitMs) << "not a millisecond early or late";
    EXPECT_EQ(SentTo(*runs[0].target), 1u);
  }
}

// A step moves on only the runs a reply reached unless the tick count has moved: while the clock
// stands still, the replies alone must carry every run to its end, whether runs end early, wait
// for a slot or begin as others end.
TEST_F(RunSessionTest, RepliesAloneCarryEveryRunWhileTheClockStandsStill) {
  for (const size_t jobs : {size_t{0}, size_t{1}, size_t{2}}) {
    SCOPED_TRACE(jobs);
    Reset();
    for (uint8_t last = 1; last <= 5; ++last) AddTarget(last);
    targets.begin()->second.failures[kFillRequest] = 2;  // ends at its first answer
    std::next(targets.begin(), 3)->second.failures[kWriteRequest] = 3;
    RunSettings settings;
    settings.jobs = jobs;
    const auto& runs = Run(kImageScript, settings);
    EXPECT_EQ(clock.Now(), kStart) << "a run waited for the clock, not for its reply";
    ASSERT_EQ(runs.size(), 5u);
    for (size_t i = 0; i < runs.size(); ++i) {
      const bool fails = i == 0 || i == 3;
      EXPECT_EQ(runs[i].outcome, fails ? RunOutcome::kFailed : RunOutcome::kFinished) << i;
      EXPECT_EQ(runs[i].resends, 0u) << i;
      EXPECT_EQ(SentTo(*runs[i].target), i == 0 ? 1u : 4u) << i;
      if (!fails) {
        EXPECT_EQ(Fake(i).memory.at(0x10000), ImageBytes()) << i;
      }
    }
    EXPECT_EQ(observer.ended.size(), 5u);
  }
}

TEST_F(RunSessionTest, CancelMidRunSendsNothingMoreAndLeavesNoHook) {
  AddTarget(1);
  AddTarget(2);
  std::atomic<bool> cancel{false};
  size_t sentWhenCancelled = 0;
  // Ctrl-C during the wait that follows the first data chunk.
  socket->onWait = [&](int) {
    for (const auto& datagram : socket->sent) {
      if (wire::Header::Decode(datagram.bytes)->type == kDataRequest) {
        sentWhenCancelled = socket->sent.size();
        cancel = true;
      }
    }
    clock.Advance(3);
  };
  RunSettings settings;
  settings.cancel = &cancel;
  const auto& runs = Run(kImageScript, settings);
  ASSERT_GT(sentWhenCancelled, 0u);
  EXPECT_EQ(socket->sent.size(), sentWhenCancelled);
  for (const TargetRun& run : runs) {
    EXPECT_EQ(run.outcome, RunOutcome::kCancelled);
    EXPECT_EQ(run.error, "Cancelled");
    EXPECT_EQ(run.elapsedMs, 6u);  // two waits
    EXPECT_EQ(run.target->pendingContext, nullptr);
    EXPECT_EQ(run.target->pendingRequestId, 0u);
  }
  EXPECT_TRUE(Fake(0).memory.empty());
  // Late replies to what was outstanding at the cancel are dropped at the cleared hooks.
  const std::vector<FakeDatagramSocket::Datagram> sent = socket->sent;
  for (const auto& datagram : sent) Answer(datagram);
  ASSERT_FALSE(socket->incoming.empty());
  network->Poll();
  EXPECT_EQ(socket->sent.size(), sentWhenCancelled);
  EXPECT_FALSE(session->Succeeded());
}

TEST_F(RunSessionTest, ATargetWithoutAnAddressIsRefusedWhileTheOthersRun) {
  AddTarget(1);
  AddTarget(2, /*addressed=*/false);
  AddTarget(3);
  const auto& runs = Run(kImageScript);
  EXPECT_EQ(runs[0].outcome, RunOutcome::kFinished);
  EXPECT_EQ(runs[1].outcome, RunOutcome::kRefused);
  EXPECT_EQ(runs[1].error,
            "Target 02:00:00:00:00:02 has no IP address; assign it one before running a script");
  EXPECT_EQ(runs[1].elapsedMs, 0u);
  EXPECT_EQ(runs[2].outcome, RunOutcome::kFinished);
  EXPECT_EQ(SentTo(*runs[1].target), 0u);
  EXPECT_TRUE(displays[1]->operations.empty());
  EXPECT_EQ(Fake(2).memory.at(0x10000), ImageBytes());
  ASSERT_FALSE(observer.ended.empty());
  EXPECT_EQ(observer.ended[0].index, 1u);  // told before anything is sent
  EXPECT_FALSE(session->Succeeded());
}

// A step's requests leave together after every target has stepped; one that cannot be sent
// fails its own run with the text a direct send raises, and the others go on.
TEST_F(RunSessionTest, ARequestThatCannotBeSentEndsOnlyItsTargetsRun) {
  for (uint8_t last = 1; last <= 3; ++last) AddTarget(last);
  const uint32_t unreachable = targets.at(MacAddress{{0x02, 0, 0, 0, 0, 2}}).record->ipAddress;
  socket->sendErrorFor = [&](const FakeDatagramSocket::Datagram& datagram) {
    const bool data = wire::Header::Decode(datagram.bytes)->type == kDataRequest;
    return data && datagram.address == unreachable ? wsa::kHostUnreachable : 0;
  };
  const auto& runs = Run(kImageScript);
  EXPECT_EQ(runs[0].outcome, RunOutcome::kFinished);
  EXPECT_EQ(runs[1].outcome, RunOutcome::kFailed);
  EXPECT_EQ(runs[1].error, "Failed sendto: remote host unreachable");
  EXPECT_EQ(runs[1].target->pendingContext, nullptr);
  EXPECT_EQ(SentTo(*runs[1].target), 1u);  // the fill went, the first chunk did not
  EXPECT_EQ(runs[2].outcome, RunOutcome::kFinished);
  EXPECT_EQ(Fake(2).memory.at(0x10000), ImageBytes());
}

TEST_F(RunSessionTest, FailuresEndOneTargetWhileTheOthersFinish) {
  AddTarget(1, true, /*stagingSize=*/0x400);  // too small: the directive fails
  AddTarget(2).failures = {{kWriteRequest, 3}};
  AddTarget(3);
  const auto& runs = Run(std::string(kImageScript) + "*restart\n");
  EXPECT_EQ(runs[0].outcome, RunOutcome::kFailed);
  EXPECT_EQ(runs[0].error,
            "QOR does not yet support multi-part downloads; download of 2048 bytes is too large "
            "for target's 1024-byte staging buffer");
  EXPECT_EQ(SentTo(*runs[0].target), 0u);
  EXPECT_EQ(Fake(0).restarts, 0u) << "no directive runs after an error";

  // A refused write fails the run there: the target is never restarted.
  EXPECT_EQ(runs[1].outcome, RunOutcome::kFailed);
  EXPECT_EQ(runs[1].error, "Target refused the WriteRequest for 00010000 (status 3)");

  EXPECT_EQ(runs[2].outcome, RunOutcome::kFinished);
  EXPECT_EQ(runs[2].error, "");
  EXPECT_EQ(Fake(2).memory.at(0x10000), ImageBytes());
  EXPECT_EQ(Fake(2).restarts, 1u);
}

TEST_F(RunSessionTest, AnUnansweredRestartStillFinishesTheRunAndEachRunTellsWhichItWas) {
  AddTarget(1);
  AddTarget(2).ignored = {kRestartRequest};  // restarts at once, without a word
  AddTarget(3).failures = {{kWriteRequest, 3}};
  RunSettings settings;
  settings.runner.silence.requestMs = 5000;
  const auto& runs = Run(std::string(kImageScript) + "*restart\n", settings);
  EXPECT_EQ(runs[0].outcome, RunOutcome::kFinished);
  EXPECT_EQ(runs[0].restartConfirmed, true);
  EXPECT_EQ(runs[1].outcome, RunOutcome::kFinished);
  EXPECT_EQ(runs[1].error, "");
  EXPECT_EQ(runs[1].restartConfirmed, false);
  EXPECT_EQ(displays[1]->Status(), "Restart sent; the target did not answer");
  EXPECT_GT(runs[1].elapsedMs, 5000u) << "waited out the restart's limit";
  EXPECT_LT(runs[1].elapsedMs, 5100u);
  EXPECT_EQ(runs[2].outcome, RunOutcome::kFailed);
  EXPECT_EQ(runs[2].restartConfirmed, std::nullopt) << "the run ended before its restart";
  EXPECT_FALSE(session->Succeeded());
  EXPECT_EQ(SentTo(*runs[1].target), SentTo(*runs[0].target)) << "nothing sent twice";
}

TEST_F(RunSessionTest, TickPaceStepsOnlyEveryTwentyMilliseconds) {
  struct Row {
    RunPace pace;
    std::vector<uint32_t> sentAt;  // ms after the start: fill, two chunks, write
    uint32_t elapsedMs;
    int steps;
  };
  const Row rows[] = {
      // A step per tick, though every reply is there at once.
      {RunPace::kTick, {20, 40, 60, 80}, 100, 5},
      // Fast pace steps as soon as each reply is in: no time passes.
      {RunPace::kFast, {0, 0, 0, 0}, 0, 5},
  };
  for (const Row& row : rows) {
    Reset();
    AddTarget(1);
    std::vector<uint32_t> sentAt;
    socket->onSend = [&](const FakeDatagramSocket::Datagram& sent) {
      sentAt.push_back(clock.Now() - kStart);
      Answer(sent);
    };
    std::vector<uint32_t> sleeps;
    RunSettings settings;
    settings.pace = row.pace;
    settings.sleep = [&](uint32_t ms) {
      sleeps.push_back(ms);
      clock.Advance(ms);
    };
    const auto& runs = Run(kImageScript, settings);
    EXPECT_EQ(runs[0].outcome, RunOutcome::kFinished);
    EXPECT_EQ(sentAt, row.sentAt);
    EXPECT_EQ(runs[0].elapsedMs, row.elapsedMs);
    EXPECT_EQ(observer.steps, row.steps);
    if (row.pace == RunPace::kTick) {
      EXPECT_EQ(sleeps, std::vector<uint32_t>(5, 20u));
      EXPECT_EQ(waits, 0) << "tick pace does not wait on the socket";
    } else {
      EXPECT_TRUE(sleeps.empty());
    }
  }
}

TEST_F(RunSessionTest, ATimeLimitOutsideWhatTheClockMeasuresIsRefused) {
  AddTarget(1);
  const Script script(files.Write("run.qor", "*restart\n"), DirectiveRegistry());
  for (double seconds :
       {-1.0, std::nan(""), 30.0 * 24 * 60 * 60 + 1, std::numeric_limits<double>::infinity()}) {
    RunSettings settings;
    settings.timeoutSeconds = seconds;
    EXPECT_THROW(RunSession made(script, *network, settings), std::invalid_argument) << seconds;
  }
  RunSettings longest;
  longest.timeoutSeconds = RunSession::kMaxTimeoutSeconds;
  EXPECT_NO_THROW(RunSession made(script, *network, longest));
}

TEST_F(RunSessionTest, VerifyReadsEachImageBackBeforeTheScriptGoesOn) {
  AddTarget(1);
  AddTarget(2).stuckAt = 0x10000 + 0x601;
  RunSettings settings;
  settings.runner.verifyDownloads = true;
  const auto& runs = Run(std::string(kImageScript) + "*restart\n", settings);
  EXPECT_EQ(runs[0].outcome, RunOutcome::kFinished);
  EXPECT_EQ(Fake(0).restarts, 1u);
  EXPECT_EQ(displays[0]->statuses.back(), "Restarting target");
  EXPECT_NE(std::find(displays[0]->statuses.begin(), displays[0]->statuses.end(), "Verified"),
            displays[0]->statuses.end());
  // Fill, two chunks, write, then the whole image read back in two reads, then the restart.
  EXPECT_EQ(SentTo(*runs[0].target), 7u);

  // The write was acknowledged with a good CRC, yet memory holds something else.
  EXPECT_EQ(runs[1].outcome, RunOutcome::kFailed);
  EXPECT_EQ(runs[1].error,
            "Verification failed: the target's memory at 00010601 holds EE where the image has "
            "FE");
  EXPECT_EQ(Fake(1).restarts, 0u) << "a failed verification stops the script";
}

// --skip-if-current: a target already holding every image and variable the script writes gets
// reads only; any difference, or a script whose written block cannot be told from a read, runs.
TEST_F(RunSessionTest, ATargetThatIsCurrentGetsOnlyReadsAndAnyDifferenceRunsTheScript) {
  const std::string base = std::string(kImageScript) +
                           "*loadenv 0x20000 0x100\n*setenv serial SN7\n*setenv mode field\n"
                           "*saveenv 0x20000 0x100\n*restart\n";
  struct Row {
    const char* name;
    std::string script;                     // the second run's; empty: the first one's
    std::function<void(FakeTarget&)> bend;  // what changes on the target between the runs
    std::vector<std::pair<std::string, std::string>> unitValues;
    bool current;
  };
  const std::vector<Row> rows = {
      {"unchanged", "", nullptr, {}, true},
      {"one image byte", "", [](FakeTarget& t) { t.memory.at(0x10000)[5] ^= 1; }, {}, false},
      {"a blank block",
       "",
       [](FakeTarget& t) { t.memory.at(0x20000).assign(0x100, 0xFF); },
       {},
       false},
      {"a damaged block", "", [](FakeTarget& t) { t.memory.at(0x20000)[9] ^= 1; }, {}, false},
      {"another value",
       std::string(kImageScript) +
           "*loadenv 0x20000 0x100\n*setenv serial SN8\n*saveenv 0x20000 0x100\n",
       nullptr,
       {},
       false},
      {"a variable to delete",
       std::string(kImageScript) + "*loadenv 0x20000 0x100\n*setenv mode\n*saveenv 0x20000 0x100\n",
       nullptr,
       {},
       false},
      {"a value already there",
       std::string(kImageScript) +
           "*loadenv 0x20000 0x100\n*setenv mode field\n*saveenv 0x20000 0x100\n",
       nullptr,
       {},
       true},
      {"the unit's own value", "", nullptr, {{"serial", "SN9"}}, false},
      {"the unit's value already there", "", nullptr, {{"serial", "SN7"}}, true},
      {"saved without a load",
       std::string(kImageScript) +
           "*setenv serial SN7\n*setenv mode field\n*saveenv 0x20000 0x100\n",
       nullptr,
       {},
       false},
      {"another block loaded",
       std::string(kImageScript) +
           "*loadenv 0x30000 0x100\n*loadenv 0x20000 0x100\n*saveenv 0x20000 0x100\n",
       nullptr,
       {},
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reset();
    AddTarget(1).memory[0x20000].assign(0x100, 0xFF);  // a blank block, as a new unit has
    AddTarget(2).memory[0x20000].assign(0x100, 0xFF);
    RunSettings settings;
    settings.runner.skipIfCurrent = true;
    // Nothing to read back yet: the image's area is refused, so both run in full.
    for (const TargetRun& run : Run(base, settings)) {
      EXPECT_EQ(run.outcome, RunOutcome::kFinished) << run.error;
    }
    EXPECT_EQ(Fake(0).restarts, 1u);
    if (row.bend) row.bend(Fake(0));
    socket->sent.clear();
    settings.runner.unitValues = row.unitValues;
    const auto& runs = Run(row.script.empty() ? base : row.script, settings);
    // The second target, untouched, is current whenever the script and values are the same.
    const bool same = row.script.empty() && row.unitValues.empty();
    if (same) {
      EXPECT_EQ(runs[1].outcome, RunOutcome::kCurrent);
    }

    std::set<uint16_t> types;
    for (const auto& datagram : socket->sent) {
      const auto header = wire::Header::Decode(datagram.bytes);
      if (header->mac == runs[0].target->mac) types.insert(header->type);
    }
    if (row.current) {
      EXPECT_EQ(runs[0].outcome, RunOutcome::kCurrent) << runs[0].error;
      EXPECT_EQ(types, std::set<uint16_t>{kReadRequest});
      EXPECT_EQ(displays[0]->Status(), kAlreadyCurrentText);
      EXPECT_EQ(Fake(0).restarts, 1u) << "a current target is not restarted";
      EXPECT_FALSE(runs[0].restartConfirmed.has_value());
      EXPECT_TRUE(session->Succeeded());
    } else {
      EXPECT_NE(runs[0].outcome, RunOutcome::kCurrent);
      EXPECT_EQ(types.count(kWriteRequest), 1u) << "the script ran";
    }
  }
}

TEST_F(RunSessionTest, OnALossyLinkEveryRunFinishesOrFailsWithTheSilenceError) {
  const std::string script = std::string(kImageScript) + "*loadenv 0x10000 0x800\n*restart\n";
  int finished = 0;
  int failed = 0;
  for (int lossEvery : {2, 3, 4, 7}) {
    SCOPED_TRACE(lossEvery);
    Reset();
    for (uint8_t last = 1; last <= 4; ++last) {
      FakeTarget& fake = AddTarget(last);
      fake.lossEvery = lossEvery;
      fake.requests = last;  // each target loses a different request
    }
    RunSettings settings;
    settings.runner.silence.requestMs = 3000;
    settings.runner.silence.writeMs = 4000;
    const auto& runs = Run(script, settings);
    for (size_t i = 0; i < runs.size(); ++i) {
      // Each chunk and each read goes to its own place: any repeat of one is a resend.
      size_t repeatable = 0;
      std::set<std::pair<uint16_t, uint32_t>> places;
      for (const auto& datagram : socket->sent) {
        const auto header = wire::Header::Decode(datagram.bytes);
        if (header->mac != runs[i].target->mac) continue;
        if (header->type != kDataRequest && header->type != kReadRequest) continue;
        ++repeatable;
        const auto& b = datagram.bytes;
        places.insert({header->type, uint32_t{b.at(16)} << 24 | uint32_t{b.at(17)} << 16 |
                                         uint32_t{b.at(18)} << 8 | b.at(19)});
      }
      EXPECT_EQ(runs[i].resends, repeatable - places.size());
      if (runs[i].outcome == RunOutcome::kFinished) {
        EXPECT_EQ(Fake(i).memory.at(0x10000), ImageBytes()) << "every byte lands";
        // This link loses requests: an unanswered restart was never carried out, and the run
        // says it was not confirmed.
        ASSERT_TRUE(runs[i].restartConfirmed.has_value());
        EXPECT_EQ(Fake(i).restarts, *runs[i].restartConfirmed ? 1u : 0u);
        ++finished;
        continue;
      }
      ++failed;
      EXPECT_EQ(runs[i].outcome, RunOutcome::kFailed);
      EXPECT_EQ(runs[i].error.rfind("Target has not answered the ", 0), 0u) << runs[i].error;
      // Only a request that is never repeated can be lost for good; the wait ends just after
      // its limit.
      const bool write = runs[i].error.find("WriteRequest") != std::string::npos;
      EXPECT_TRUE(write || runs[i].error.find("FillRequest") != std::string::npos) << runs[i].error;
      EXPECT_LE(runs[i].elapsedMs, 4000u + (write ? 4000u : 3000u) + 20u);
    }
  }
  EXPECT_GT(finished, 0);
  EXPECT_GT(failed, 0);
}

// A station finds targets while others run: each joins the started session, its run begins
// at the next step without a wait, and is timed from its own start.
TEST_F(RunSessionTest, ATargetJoinsASessionAlreadyRunningAndIsTimedFromItsOwnStart) {
  AddTarget(1).ignored = {kRestartRequest};  // restarts without a word
  AddTarget(2);
  AddTarget(3);
  std::map<MacAddress, uint32_t> firstSentAt;
  socket->onSend = [&](const FakeDatagramSocket::Datagram& sent) {
    firstSentAt.emplace(wire::Header::Decode(sent.bytes)->mac, clock.Now());
    Answer(sent);
  };
  scriptFile = std::make_unique<Script>(files.Write("run.qor", "*restart\n"), DirectiveRegistry());
  RunSettings settings;
  settings.runner.silence.requestMs = 5000;
  std::atomic<bool> cancel{false};
  settings.cancel = &cancel;
  session = std::make_unique<RunSession>(*scriptFile, *network, settings);
  session->Start(&observer);
  EXPECT_EQ(session->Running(), 0u);
  const std::vector<Target*> order = network->Table().InArrivalOrder();
  EXPECT_EQ(session->Join(*order[0], *displays[0]), 0u);
  EXPECT_EQ(session->Running(), 1u);
  while (clock.Now() < kStart + 2000) session->Step();
  const uint32_t joinedAt = clock.Now();
  EXPECT_EQ(session->Join(*order[1], *displays[1]), 1u);
  session->Step();
  EXPECT_EQ(firstSentAt.at(order[1]->mac), joinedAt) << "its first request went without a wait";
  while (session->Running() > 0) session->Step();
  const auto& runs = session->Runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].outcome, RunOutcome::kFinished);
  EXPECT_EQ(runs[1].restartConfirmed, true);
  EXPECT_EQ(runs[1].elapsedMs, 0u);
  EXPECT_EQ(runs[0].outcome, RunOutcome::kFinished);
  EXPECT_EQ(runs[0].restartConfirmed, false);
  EXPECT_GT(runs[0].elapsedMs, 5000u);
  EXPECT_LT(runs[0].elapsedMs, 5100u);
  ASSERT_EQ(observer.ended.size(), 2u);
  EXPECT_EQ(observer.ended[0].index, 1u);

  // Once Ctrl-C has been seen, a target that joins is cancelled before anything is sent.
  cancel = true;
  session->Step();
  EXPECT_TRUE(session->Cancelled());
  EXPECT_EQ(session->Join(*order[2], *displays[2]), 2u);
  EXPECT_EQ(session->Runs()[2].outcome, RunOutcome::kCancelled);
  EXPECT_EQ(session->Running(), 0u);
  EXPECT_EQ(SentTo(*order[2]), 0u);
}

// Each target's own values go into the block its *saveenv writes, set last, as if *setenv lines
// stood just before it.
TEST_F(RunSessionTest, EachTargetsOwnValuesAreSetJustBeforeItsSaveenv) {
  AddTarget(1);
  AddTarget(2);
  scriptFile =
      std::make_unique<Script>(files.Write("run.qor",
                                           "*setenv serial FROM-SCRIPT\n*setenv mode test\n"
                                           "*saveenv 0x10400 0x100\n"),
                               DirectiveRegistry());
  session = std::make_unique<RunSession>(*scriptFile, *network);
  session->Start(&observer);
  const std::vector<Target*> order = network->Table().InArrivalOrder();
  RunnerOptions first;
  first.unitValues = {{"serial", "SN0001"}, {"hostname", "unit-1"}};
  RunnerOptions second;
  second.unitValues = {{"serial", "SN0002"}, {"hostname", "unit-2"}};
  session->Join(*order[0], *displays[0], first);
  session->Join(*order[1], *displays[1], second);
  while (session->Running() > 0) session->Step();
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(session->Runs()[i].outcome, RunOutcome::kFinished) << session->Runs()[i].error;
    TargetEnvironment expected;
    expected.entries = {{"hostname", Format("unit-%zu", i + 1)},
                        {"mode", "test"},
                        {"serial", Format("SN000%zu", i + 1)}};
    EXPECT_EQ(Fake(i).memory.at(0x10400), BuildEnvironmentBlock(expected, 0x10400, 0x100).bytes);
  }
}

// run --all --jobs N: at most N runs at once, the next added target beginning as one ends; a
// target refused at once takes no slot.
TEST_F(RunSessionTest, JobsKeepAtMostThatManyRunsGoingAndBeginTheNextAsOneEnds) {
  AddTarget(1).ignored = {kRestartRequest};
  AddTarget(2, /*addressed=*/false);
  for (uint8_t last = 3; last <= 6; ++last) AddTarget(last).ignored = {kRestartRequest};
  std::set<MacAddress> going;
  size_t most = 0;
  socket->onSend = [&](const FakeDatagramSocket::Datagram& sent) {
    going.insert(wire::Header::Decode(sent.bytes)->mac);
    most = std::max(most, going.size());
    Answer(sent);
  };
  struct Ender final : RunObserver {
    std::set<MacAddress>& going;
    std::vector<uint32_t> endedAt;
    explicit Ender(std::set<MacAddress>& g) : going(g) {}
    void RunEnded(size_t, const TargetRun& run) override {
      going.erase(run.target->mac);
      endedAt.push_back(GetTickCount());
    }
  } ender(going);
  scriptFile = std::make_unique<Script>(files.Write("run.qor", "*restart\n"), DirectiveRegistry());
  RunSettings settings;
  settings.jobs = 2;
  settings.runner.silence.requestMs = 1000;
  session = std::make_unique<RunSession>(*scriptFile, *network, settings);
  size_t i = 0;
  for (Target* target : network->Table().InArrivalOrder())
    session->AddTarget(*target, *displays[i++]);
  session->Run(&ender);
  EXPECT_EQ(most, 2u);
  const auto& runs = session->Runs();
  EXPECT_EQ(runs[1].outcome, RunOutcome::kRefused);
  for (size_t k : {0u, 2u, 3u, 4u, 5u}) {
    EXPECT_EQ(runs[k].outcome, RunOutcome::kFinished) << k;
    EXPECT_GT(runs[k].elapsedMs, 1000u) << "timed from its own start";
    EXPECT_LT(runs[k].elapsedMs, 1100u);
  }
  // Two rounds of two, then the last one alone: about three silences long in all.
  ASSERT_EQ(ender.endedAt.size(), 6u);
  EXPECT_LT(ender.endedAt.back() - kStart, 3 * 1100u);
  EXPECT_GT(ender.endedAt.back() - kStart, 3 * 1000u);
}

// Around every genuine answer the socket also brings what a hostile or broken network might:
// garbage, truncated and oversized datagrams, other versions and ports, answers for MACs nobody
// knows, stale request ids with failure statuses, and a storm of strangers announcing
// themselves. None of it may change what lands in the targets, or crash anything.
TEST_F(RunSessionTest, HostileDatagramsAroundEveryAnswerChangeNothing) {
  const std::string script =
      std::string(kImageScript) +
      "*loadenv 0x10000 0x800\n*setenv ip 127.0.0.10\n*saveenv 0x10400 0x100\n*restart\n";
  AddTarget(1);
  AddTarget(2);
  std::mt19937 random(1234);
  std::map<MacAddress, std::vector<uint32_t>> idsSent;
  uint32_t strangers = 0;
  const auto noise = [&](const wire::RequestIdHeader& request, uint32_t targetAddress) {
    const auto deliver = [&](wire::Bytes bytes, uint16_t port = kTargetPort) {
      socket->Deliver(std::move(bytes), port, targetAddress);
    };
    std::vector<uint8_t> garbage(random() % 64);
    for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(random());
    deliver(garbage);
    deliver(std::vector<uint8_t>(1201 + random() % 200, 0x80));  // longer than any reply
    wire::FinalReply genuine;
    genuine.mac = request.header.mac;
    genuine.requestId = request.requestId;
    genuine.payload = {0xDE, 0xAD};
    wire::Bytes truncated = genuine.Encode();
    truncated.resize(random() % 20);
    deliver(truncated);
    wire::Bytes otherVersion = genuine.Encode();
    otherVersion[1] = 2;
    deliver(otherVersion);
    deliver(genuine.Encode(), 5267);  // the right answer from the wrong port
    wire::FinalReply stranger = genuine;
    stranger.mac.bytes[0] = 0x0A;  // for a MAC no one knows
    stranger.status = 3;
    deliver(stranger.Encode());
    for (uint32_t stale : idsSent[request.header.mac]) {
      if (stale == request.requestId) continue;
      wire::FinalReply old = genuine;
      old.requestId = stale;
      old.status = 7;
      deliver(old.Encode());
      deliver(wire::ProgressReply{.mac = genuine.mac, .requestId = stale, .value = 1}.Encode());
    }
    idsSent[request.header.mac].push_back(request.requestId);
    for (int i = 0; i < 40; ++i) {
      wire::DiscoverReply hello;
      hello.mac =
          MacAddress{{0x06, 0x66, static_cast<uint8_t>(strangers >> 16),
                      static_cast<uint8_t>(strangers >> 8), static_cast<uint8_t>(strangers), 0x01}};
      hello.ipAddress = 0x7F000100 + strangers++;
      hello.stagingSize = 1;
      deliver(hello.Encode());
    }
  };
  socket->onSend = [&](const FakeDatagramSocket::Datagram& sent) {
    const auto request = wire::RequestIdHeader::Decode(sent.bytes);
    ASSERT_TRUE(request.has_value());
    noise(*request, sent.address);
    Answer(sent);
    noise(*request, sent.address);
  };
  const auto& runs = Run(script);
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].outcome, RunOutcome::kFinished) << runs[i].error;
    EXPECT_EQ(Fake(i).memory.at(0x10000), ImageBytes());
    EXPECT_EQ(Fake(i).restarts, 1u);
    // The image holds no valid block, so the block written back holds the one setting alone.
    TargetEnvironment expected;
    expected.entries = {{"ip", "127.0.0.10"}};
    EXPECT_EQ(Fake(i).memory.at(0x10400), BuildEnvironmentBlock(expected, 0x10400, 0x100).bytes);
    EXPECT_EQ(runs[i].target->vendorId, 0x1234) << "the run's own targets are untouched";
  }
  // What came after the last answer is still waiting; an oversized datagram ends each poll.
  while (!socket->incoming.empty()) network->Poll();
  EXPECT_EQ(network->Table().Size(), 2u + strangers);
}

}  // namespace
}  // namespace qor::test
