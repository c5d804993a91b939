// The simulator in-process against the real TargetNetwork, over real sockets. Runs inside its
// own network namespace (scripts/netns-run), where the limited broadcast stays on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>

#include "net/Crc32.h"
#include "net/TargetEnvironment.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/TickCount.h"
#include "script/DataSection.h"
#include "tests/common/SocketTestSupport.h"
#include "tests/common/TempFiles.h"
#include "tests/net/NetTestSupport.h"
#include "tools/qor-sim/SimEngine.h"

namespace qor {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::SimEngine;
using sim::SimOptions;

const MacAddress kFirst{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
const MacAddress kSecond{{0x02, 0x00, 0x00, 0x00, 0x00, 0x02}};
const MacAddress kThird{{0x02, 0x00, 0x00, 0x00, 0x00, 0x03}};

SimOptions Options(uint32_t targets) {
  SimOptions options;
  options.targets = targets;
  options.keepTrace = true;
  return options;
}

// Discovers and waits until `count` targets are in the table.
bool DiscoverAll(TargetNetwork& network, size_t count) {
  network.Discover();
  return test::PollUntil(network, [&] { return network.Table().Size() >= count; });
}

// Sends one request through `send` with a fresh id and waits for its FinalReply.
template <typename Send>
test::RecordingContext::Reply Exchange(TargetNetwork& network, Target& target, Send send) {
  static uint32_t requestId = 100;
  test::RecordingContext context;
  context.Hook(target, ++requestId);
  send(requestId);
  EXPECT_TRUE(test::PollUntil(network, [&] { return !context.replies.empty(); }))
      << "no FinalReply";
  return context.replies.empty() ? test::RecordingContext::Reply{0xDEAD, true, {}}
                                 : context.replies.front();
}

class SimEngineTest : public testing::Test {
 protected:
  void Start(SimOptions options) {
    engine = std::make_unique<SimEngine>(std::move(options));
    engine->Start();
  }

  std::unique_ptr<SimEngine> engine;
  TargetNetwork network;
};

TEST_F(SimEngineTest, DiscoversThreeTargetsAndReaddressesOne) {
  SimOptions options = Options(3);
  options.unassigned = 1;
  Start(options);
  ASSERT_TRUE(DiscoverAll(network, 3));
  const auto& targets = network.Table().InArrivalOrder();
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_EQ(targets[0]->mac, kFirst);
  EXPECT_EQ(targets[1]->mac, kSecond);
  EXPECT_EQ(targets[2]->mac, kThird);
  EXPECT_EQ(targets[0]->ipAddress, 0x7F00000Au);
  EXPECT_EQ(targets[1]->ipAddress, 0x7F00000Bu);
  EXPECT_EQ(targets[2]->ipAddress, 0u);
  for (const Target* target : targets) {
    EXPECT_EQ(target->vendorId, 0x1234);
    EXPECT_EQ(target->productId, 0x0001);
    EXPECT_EQ(target->stagingSize, 0x100000u);
  }

  network.SendAssignAddressRequest(kThird, 0x7F00002A);
  network.SendAssignAddressRequest(MacAddress{{9, 9, 9, 9, 9, 9}}, 0x7F00002B);
  ASSERT_TRUE(DiscoverAll(network, 3));
  EXPECT_EQ(network.Table().Find(kFirst)->ipAddress, 0x7F00000Au);
  EXPECT_EQ(network.Table().Find(kSecond)->ipAddress, 0x7F00000Bu);
  EXPECT_EQ(network.Table().Find(kThird)->ipAddress, 0x7F00002Au);
  EXPECT_EQ(engine->FindTarget(kThird)->ipAddress, 0x7F00002Au);
  EXPECT_EQ(engine->Targets().size(), 3u);
}

TEST_F(SimEngineTest, ATargetTakesOnlyLoopbackAddressesOrNone) {
  Start(Options(2));
  ASSERT_TRUE(DiscoverAll(network, 2));
  // Taking this documentation address would have the host send its next requests off loopback.
  network.SendAssignAddressRequest(kFirst, 0xC0000201);  // 192.0.2.1
  network.SendAssignAddressRequest(kSecond, 0);
  ASSERT_TRUE(DiscoverAll(network, 2));
  EXPECT_EQ(network.Table().Find(kFirst)->ipAddress, 0x7F00000Au);
  EXPECT_EQ(network.Table().Find(kSecond)->ipAddress, 0u);

  std::vector<std::string> reasons;
  for (const auto& record : engine->Trace()) {
    if (record.type == kAssignAddressRequest) reasons.push_back(record.event + " " + record.reason);
  }
  EXPECT_EQ(reasons, (std::vector<std::string>{"ignored not a 127.x.y.z address", "handled "}));
}

TEST_F(SimEngineTest, AnImageGoesThroughTheStagingBufferIntoMemory) {
  SimOptions options = Options(1);
  options.progressReplies = 4;
  Start(options);
  ASSERT_TRUE(DiscoverAll(network, 1));
  Target& target = *network.Table().Find(kFirst);

  Bytes image(2500);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(
      Exchange(network, target, [&](uint32_t id) { network.SendFillRequest(target, id, 4096); })
          .status,
      0u);
  for (size_t offset = 0; offset < image.size(); offset += 1024) {
    const size_t count = std::min<size_t>(1024, image.size() - offset);
    DataBlock block{0, Bytes(image.begin() + offset, image.begin() + offset + count)};
    EXPECT_EQ(Exchange(network, target,
                       [&](uint32_t id) {
                         network.SendDataRequest(target, id, static_cast<uint32_t>(offset), block);
                       })
                  .status,
              0u);
  }

  test::RecordingContext writing;
  writing.Hook(target, 77);
  network.SendWriteRequest(target, 77, 0x00200000, 2500,
                           Crc32(static_cast<int32_t>(image.size()), image.data()));
  ASSERT_TRUE(test::PollUntil(network, [&] { return !writing.replies.empty(); }));
  EXPECT_EQ(writing.replies[0].status, 0u);
  EXPECT_EQ(writing.progress,
            (std::vector<uint32_t>{0x00200000, 0x00200271, 0x002004E2, 0x00200753}));

  EXPECT_EQ(engine->ReadMemory(kFirst, 0x00200000, 2500), image);
  // Around the image, memory was never written: it reads as erased.
  EXPECT_EQ(engine->ReadMemory(kFirst, 0x001FFFFF, 1), Bytes{0xFF});
  EXPECT_EQ(engine->ReadMemory(kFirst, 0x002009C4, 1), Bytes{0xFF});

  const auto read = Exchange(network, target, [&](uint32_t id) {
    network.SendReadRequest(target, id, 0x00200000 + 1000, 1024);
  });
  EXPECT_EQ(read.status, 0u);
  EXPECT_EQ(read.payload, Bytes(image.begin() + 1000, image.begin() + 2024));
}

TEST_F(SimEngineTest, BadWritesAndRequestsBeyondTheStagingBufferFail) {
  SimOptions options = Options(1);
  options.stagingSize = 2048;
  Start(options);
  ASSERT_TRUE(DiscoverAll(network, 1));
  Target& target = *network.Table().Find(kFirst);
  const DataBlock block{0, Bytes(1024, 0x11)};

  const auto status = [&](auto send) { return Exchange(network, target, send).status; };
  EXPECT_EQ(status([&](uint32_t id) { network.SendDataRequest(target, id, 0, block); }), 0u);
  // The CRC of other bytes: refused, memory untouched.
  const Bytes other(1024, 0x22);
  EXPECT_EQ(status([&](uint32_t id) {
              network.SendWriteRequest(target, id, 0x1000, 1024, Crc32(1024, other.data()));
            }),
            sim::kStatusBadCrc);
  EXPECT_EQ(engine->ReadMemory(kFirst, 0x1000, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));

  EXPECT_EQ(status([&](uint32_t id) { network.SendFillRequest(target, id, 2049); }),
            sim::kStatusOutOfRange);
  EXPECT_EQ(status([&](uint32_t id) { network.SendDataRequest(target, id, 1025, block); }),
            sim::kStatusOutOfRange);
  EXPECT_EQ(status([&](uint32_t id) { network.SendWriteRequest(target, id, 0, 2049, 0); }),
            sim::kStatusOutOfRange);
  EXPECT_EQ(status([&](uint32_t id) { network.SendWriteRequest(target, id, 0xFFFFFC00, 2048, 0); }),
            sim::kStatusOutOfRange);
  EXPECT_EQ(status([&](uint32_t id) { network.SendReadRequest(target, id, 0xFFFFFFFF, 2); }),
            sim::kStatusOutOfRange);

  // The staged bytes are still there: the right CRC writes them.
  EXPECT_EQ(status([&](uint32_t id) {
              network.SendWriteRequest(target, id, 0x1000, 1024, Crc32(1024, block.bytes.data()));
            }),
            0u);
  EXPECT_EQ(engine->ReadMemory(kFirst, 0x1000, 1024), block.bytes);
}

TEST_F(SimEngineTest, TheEnvironmentBlockStartsValid) {
  SimOptions options = Options(2);
  options.environment["bootcmd"] = "run net";
  options.environment["bootdelay"] = "0";
  Start(options);
  const auto variables = engine->Environment(kSecond);
  EXPECT_EQ(variables.at("ipaddr"), "127.0.0.11");
  EXPECT_EQ(variables.at("netmask"), "255.0.0.0");
  EXPECT_EQ(variables.at("serial"), "SIM00002");
  EXPECT_EQ(variables.at("bootdelay"), "0");
  EXPECT_EQ(variables.at("bootcmd"), "run net");

  // The same block read over the network, in 1024-byte pieces as *loadenv reads it.
  ASSERT_TRUE(DiscoverAll(network, 2));
  Target& target = *network.Table().Find(kSecond);
  Bytes block;
  for (uint32_t offset = 0; offset < 0x1000; offset += 1024) {
    const auto reply = Exchange(network, target, [&](uint32_t id) {
      network.SendReadRequest(target, id, 0x00F00000 + offset, 1024);
    });
    ASSERT_EQ(reply.status, 0u);
    block.insert(block.end(), reply.payload.begin(), reply.payload.end());
  }
  TargetEnvironment environment;
  ParseEnvironmentBlock(block.data(), block.size(), environment);
  EXPECT_EQ(environment.entries, variables);
}

TEST_F(SimEngineTest, RequestsForAnotherAddressOrAnUnknownMacAreIgnored) {
  Start(Options(2));
  ASSERT_TRUE(DiscoverAll(network, 2));
  Target& first = *network.Table().Find(kFirst);
  Target& second = *network.Table().Find(kSecond);

  // The first target's MAC sent to the second target's address: neither acts on it.
  Target misdirected = first;
  misdirected.ipAddress = second.ipAddress;
  test::RecordingContext stray;
  stray.Hook(first, 500);
  network.SendRestartRequest(misdirected, 500);
  Target unknown;
  unknown.mac = MacAddress{{9, 9, 9, 9, 9, 9}};
  unknown.ipAddress = first.ipAddress;
  network.SendRestartRequest(unknown, 501);
  // Requests are handled in order: once this one is answered, the two above were seen.
  EXPECT_EQ(Exchange(network, second, [&](uint32_t id) { network.SendRestartRequest(second, id); })
                .status,
            0u);
  network.Poll();
  EXPECT_TRUE(stray.replies.empty());
  EXPECT_EQ(engine->FindTarget(kFirst)->restarts, 0u);
  EXPECT_EQ(engine->FindTarget(kSecond)->restarts, 1u);

  std::vector<std::string> reasons;
  for (const auto& record : engine->Trace()) {
    if (record.event == "ignored") reasons.push_back(record.reason);
  }
  EXPECT_EQ(reasons, (std::vector<std::string>{"not sent to the target's address",
                                               "no target has this MAC"}));
}

TEST_F(SimEngineTest, FaultsAreInjectedAsAsked) {
  SimOptions options = Options(1);
  options.failures[kRestartRequest] = 9;
  options.lossRate = 1.0;
  options.lossTypes = {kDataRequest};
  options.replyDelayMs = 150;
  Start(options);
  ASSERT_TRUE(DiscoverAll(network, 1));
  Target& target = *network.Table().Find(kFirst);

  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange(network, target, [&](uint32_t id) { network.SendRestartRequest(target, id); })
                .status,
            9u);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(150));
  EXPECT_EQ(engine->FindTarget(kFirst)->restarts, 0u);

  // Data replies are all lost, but the data itself arrived.
  test::RecordingContext data;
  data.Hook(target, 600);
  network.SendDataRequest(target, 600, 0, DataBlock{0, {0x42}});
  EXPECT_EQ(Exchange(network, target,
                     [&](uint32_t id) { network.SendReadRequest(target, id, 0x00F00004, 4); })
                .status,
            0u);
  EXPECT_TRUE(data.replies.empty());
  size_t lost = 0;
  for (const auto& record : engine->Trace()) lost += record.event == "lost" ? 1 : 0;
  EXPECT_EQ(lost, 1u);
}

TEST_F(SimEngineTest, LossFollowsTheSeed) {
  const auto lostReplies = [](uint32_t seed) {
    SimOptions options = Options(40);
    options.lossRate = 0.5;
    options.seed = seed;
    SimEngine engine(options);
    engine.Start();
    TargetNetwork network;
    network.Discover();
    // Every reply is either sent or lost by the time all 40 are accounted for.
    std::vector<bool> lost;
    test::PollUntil(network, [&] {
      lost.clear();
      for (const auto& record : engine.Trace()) {
        if (!record.incoming) lost.push_back(record.event == "lost");
      }
      return lost.size() == 40;
    });
    return lost;
  };
  const auto first = lostReplies(7);
  EXPECT_EQ(first, lostReplies(7));
  EXPECT_NE(first, lostReplies(8));
  const auto count = std::count(first.begin(), first.end(), true);
  EXPECT_GT(count, 5);
  EXPECT_LT(count, 35);
}

TEST_F(SimEngineTest, TheTraceFileHoldsOneJsonObjectPerLine) {
  test::TempFiles files;
  SimOptions options = Options(2);
  options.tracePath = files.Folder() + "/trace.jsonl";
  Start(options);
  ASSERT_TRUE(DiscoverAll(network, 2));
  engine->Stop();

  std::ifstream in(options.tracePath);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["dir"], "in");
  EXPECT_EQ(lines[0]["type"], "DiscoverRequest");
  EXPECT_EQ(lines[0]["to"], "255.255.255.255:5266");
  EXPECT_EQ(lines[0]["event"], "handled");
  EXPECT_EQ(lines[1]["dir"], "out");
  EXPECT_EQ(lines[1]["type"], "DiscoverReply");
  EXPECT_EQ(lines[1]["mac"], "02:00:00:00:00:01");
  EXPECT_EQ(lines[1]["from"], "127.0.0.10:5266");
  EXPECT_EQ(lines[1]["event"], "sent");
  EXPECT_EQ(lines[2]["mac"], "02:00:00:00:00:02");
}

// The soak's read-back: a datagram of its own, taken in order with the requests sent before it,
// answered once the state is in the dump file; and left out of the trace, being no target's.
TEST_F(SimEngineTest, ADumpRequestWritesTheStateThatTheRequestsBeforeItLeft) {
  test::TempFiles files;
  SimOptions options = Options(2);
  options.dumpPath = files.Folder() + "/state.json";
  Start(options);
  ASSERT_TRUE(DiscoverAll(network, 2));
  test::Peer owner(40001);
  const auto ask = [&](const std::string& text) {
    owner.SendTo(Bytes(text.begin(), text.end()), 0x7F000001, 5266);
    uint32_t from = 0;
    uint16_t port = 0;
    const Bytes answer = owner.Receive(from, port);
    EXPECT_EQ(port, 5266);
    return std::string(answer.begin(), answer.end());
  };

  // Not waited for: the dump must still count it.
  network.SendRestartRequest(*network.Table().Find(kSecond), 5);
  ASSERT_EQ(ask("qor-sim dump 0x00F00000:4"), "dumped");
  std::ifstream in(options.dumpPath);
  const nlohmann::json dump = nlohmann::json::parse(in);
  EXPECT_EQ(dump["counters"]["restarts"], 1);
  ASSERT_EQ(dump["targets"].size(), 2u);
  EXPECT_EQ(dump["targets"][1]["restarts"], 1);
  EXPECT_EQ(dump["targets"][1]["discover_replies"], 1);
  // The region is the block's stored CRC, which is the CRC of the rest of the block.
  const std::string hex = dump["targets"][1]["environment"];
  EXPECT_EQ(hex.size(), 2u * 0x1000);
  const Bytes crc = engine->ReadMemory(kSecond, 0x00F00000, 4);
  EXPECT_EQ(dump["targets"][1]["regions"][0]["crc"], Crc32(4, crc.data()));

  EXPECT_EQ(ask("qor-sim dump 0x00F00000"),
            "error: not a region ADDRESS:LENGTH within 4 GiB: 0x00F00000");
  for (const auto& record : engine->Trace()) {
    EXPECT_NE(record.type, 0x716F) << "a dump request in the trace";
    EXPECT_TRUE(record.type == kDiscoverRequest || record.type == kDiscoverReply ||
                record.type == kRestartRequest || record.type == kFinalReply);
  }
}

TEST_F(SimEngineTest, WithoutADumpFileADumpRequestIsIgnored) {
  Start(Options(1));
  test::Peer owner(40001);
  const std::string text = "qor-sim dump";
  owner.SendTo(Bytes(text.begin(), text.end()), 0x7F000001, 5266);
  uint32_t from = 0;
  uint16_t port = 0;
  EXPECT_TRUE(owner.Receive(from, port, 300).empty());
  const auto trace = engine->Trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].reason, "version is not 1");
}

// A clock the test moves by hand while the simulator's thread reads it.
class SharedFakeClock final : public TickSource {
 public:
  uint32_t Now() override { return now_.load(); }
  void Advance(uint32_t milliseconds) { now_ += milliseconds; }

 private:
  std::atomic<uint32_t> now_{1000};
};

TEST_F(SimEngineTest, ATargetAnswersDiscoveriesOnceItHasAppearedOnTheSimulatorsClock) {
  SharedFakeClock clock;
  SimOptions options = Options(2);
  options.appearEveryMs = 500;
  options.appearCount = 1;
  SimEngine sim(options, clock);  // stopped before the clock goes
  clock.Advance(10000);           // time counts from the start, not from the making
  sim.Start();
  // The first target's answer comes once the whole discovery was handled, the second's
  // answer counted or not.
  const auto secondAnswers = [&] {
    network.Discover();
    EXPECT_TRUE(test::PollUntil(network, [&] { return network.Table().Size() >= 1; }));
    return sim.FindTarget(kSecond)->discoverReplies;
  };
  EXPECT_EQ(secondAnswers(), 0u);
  clock.Advance(499);
  EXPECT_EQ(secondAnswers(), 0u);
  EXPECT_EQ(network.Table().Find(kSecond), nullptr);
  clock.Advance(1);
  ASSERT_TRUE(DiscoverAll(network, 2));
  EXPECT_EQ(sim.FindTarget(kSecond)->discoverReplies, 1u);
  EXPECT_EQ(network.Table().Find(kSecond)->ipAddress, 0x7F00000Bu);
}

TEST_F(SimEngineTest, RefusesAddressesOutsideLoopbackAndAPortInUse) {
  SimOptions outside = Options(1);
  outside.firstAddress = 0xC0A80001;
  EXPECT_THROW(SimEngine{outside}, Exception);
  SimOptions overflowing = Options(3);
  overflowing.firstAddress = 0x7FFFFFFE;
  EXPECT_THROW(SimEngine{overflowing}, Exception);

  Start(Options(1));
  SimEngine second(Options(1));
  try {
    second.Start();
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot listen on 0.0.0.0:5266: address already in use");
  }
}

TEST_F(SimEngineTest, TwoThousandTargetsAnsweringOneBroadcastAreAllListed) {
  Start(Options(2000));
  network.Discover();
  // All 2,000 answers are queued before this first poll looks at them.
  test::PollUntil(network, [&] { return engine->Trace().size() >= 2001; });
  network.PollFor(200);
  ASSERT_EQ(network.Table().Size(), 2000u);
  const auto& arrivals = network.Table().InArrivalOrder();
  EXPECT_EQ(arrivals.front()->ipAddress, 0x7F00000Au);
  EXPECT_EQ(arrivals.back()->ipAddress, 0x7F00000Au + 1999);
  for (const auto& record : engine->Trace()) EXPECT_NE(record.event, "lost");
}

}  // namespace
}  // namespace qor
