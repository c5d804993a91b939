#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "net/AddressRange.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/TickCount.h"
#include "tests/common/FakeDatagramSocket.h"
#include "tools/qorctl/Discovery.h"

namespace qor::test {
namespace {

constexpr MacAddress kFirst{{0x02, 0, 0, 0, 0, 0x01}};
constexpr MacAddress kSecond{{0x02, 0, 0, 0, 0, 0x02}};

// Two targets on a fake socket and clock: the first answers every request, the second misses
// the first request, as if that broadcast were lost on its way.
struct Discovery {
  FakeTickSource clock{1000};
  ScopedTickSource scoped{clock};
  FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
  std::vector<uint32_t> sentAtMs;

  Discovery() {
    auto fake = std::make_unique<FakeDatagramSocket>();
    socket = fake.get();
    network = std::make_unique<TargetNetwork>(std::move(fake));
    socket->onSend = [this](const FakeDatagramSocket::Datagram&) {
      sentAtMs.push_back(clock.Now() - 1000);
      socket->Deliver(wire::DiscoverReply{.mac = kFirst, .ipAddress = 0x7F00000A}.Encode());
      if (sentAtMs.size() > 1) {
        socket->Deliver(wire::DiscoverReply{.mac = kSecond, .ipAddress = 0x7F00000B}.Encode());
      }
    };
    // A wait with nothing queued lasts its whole timeout.
    socket->onWait = [this](int timeoutMs) {
      if (socket->incoming.empty()) clock.Advance(static_cast<uint32_t>(timeoutMs));
    };
  }
};

TEST(DiscoveryTest, TheRequestGoesAgainAfter250And500MsWithinTheWaitAndAnswersMerge) {
  struct Row {
    const char* what;
    uint32_t waitMs;
    bool once;
    std::vector<uint32_t> sentAtMs;
  };
  const std::vector<Row> rows = {
      {"a full second", 1000, false, {0, 250, 500}},
      {"300 ms", 300, false, {0, 250}},
      {"250 ms", 250, false, {0}},
      {"--once", 1000, true, {0}},
  };
  for (const Row& row : rows) {
    Discovery d;
    EXPECT_TRUE(cli::DiscoverTargets(*d.network, row.waitMs, {}, row.once)) << row.what;
    EXPECT_EQ(d.sentAtMs, row.sentAtMs) << row.what;
    EXPECT_EQ(d.clock.Now() - 1000, row.waitMs) << row.what;
    std::vector<MacAddress> heard;
    for (const Target* target : d.network->Table().InArrivalOrder()) heard.push_back(target->mac);
    // Answers to every request land on one row per target, in the order first heard.
    const std::vector<MacAddress> expected = row.sentAtMs.size() > 1
                                                 ? std::vector<MacAddress>{kFirst, kSecond}
                                                 : std::vector<MacAddress>{kFirst};
    EXPECT_EQ(heard, expected) << row.what;
  }
}

TEST(DiscoveryTest, StopsRepeatingOnceDoneAndARepeatThatCannotGoIsNoFailure) {
  Discovery d;
  EXPECT_TRUE(cli::DiscoverTargets(*d.network, 1000,
                                   [&d] { return d.network->Table().Find(kSecond) != nullptr; }));
  EXPECT_EQ(d.sentAtMs, (std::vector<uint32_t>{0, 250}));
  EXPECT_EQ(d.clock.Now() - 1000, 250u);

  Discovery failing;
  failing.socket->onSend = [&failing](const FakeDatagramSocket::Datagram&) {
    failing.sentAtMs.push_back(failing.clock.Now() - 1000);
    failing.socket->sendError = wsa::kNetworkUnreachable;  // from the second request on
  };
  EXPECT_TRUE(cli::DiscoverTargets(*failing.network, 1000));
  EXPECT_EQ(failing.sentAtMs, (std::vector<uint32_t>{0}));
  EXPECT_EQ(failing.clock.Now() - 1000, 1000u);
}

// A network that also sweeps 10.71.4.0/29 (six addresses) at 100 a second, on a fake socket and
// clock; the target at 10.71.4.3 answers what is sent to it.
struct RangeDiscovery {
  FakeTickSource clock{1000};
  ScopedTickSource scoped{clock};
  FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
  std::vector<uint32_t> broadcastAtMs;
  std::vector<uint32_t> unicastAtMs;

  RangeDiscovery() {
    auto fake = std::make_unique<FakeDatagramSocket>();
    socket = fake.get();
    network = std::make_unique<TargetNetwork>(std::move(fake));
    network->SetDiscoveryRange(AddressRange::Parse("10.71.4.0/29"), 100);
    socket->onSend = [this](const FakeDatagramSocket::Datagram& datagram) {
      const uint32_t at = clock.Now() - 1000;
      if (datagram.address == kLimitedBroadcast) {
        broadcastAtMs.push_back(at);
        return;
      }
      unicastAtMs.push_back(at);
      if (datagram.address == 0x0A470403) {
        socket->Deliver(wire::DiscoverReply{.mac = kFirst, .ipAddress = 0x0A470403}.Encode(), 5266,
                        0x0A470403);
      }
    };
    socket->onWait = [this](int timeoutMs) {
      if (socket->incoming.empty()) clock.Advance(static_cast<uint32_t>(timeoutMs));
    };
  }
};

TEST(DiscoveryTest, ARangeIsSweptFirstAndTheWaitAndItsRepeatsBeginAfterIt) {
  RangeDiscovery d;
  EXPECT_TRUE(cli::DiscoverTargets(*d.network, 1000));
  EXPECT_EQ(d.unicastAtMs, (std::vector<uint32_t>{0, 10, 20, 30, 40, 50}));
  EXPECT_EQ(d.broadcastAtMs, (std::vector<uint32_t>{0, 300, 550}));
  EXPECT_EQ(d.clock.Now() - 1000, 1050u);
  EXPECT_NE(d.network->Table().Find(kFirst), nullptr);
}

TEST(DiscoveryTest, ATargetSoughtThatAnswersDuringTheSweepEndsIt) {
  RangeDiscovery d;
  EXPECT_TRUE(cli::DiscoverTargets(*d.network, 1000,
                                   [&d] { return d.network->Table().Find(kFirst) != nullptr; }));
  EXPECT_EQ(d.unicastAtMs, (std::vector<uint32_t>{0, 10, 20}));
  EXPECT_EQ(d.clock.Now() - 1000, 20u);
  EXPECT_FALSE(d.network->Sweep()->running);
  // Nothing more goes out later, while a script runs, say.
  d.network->PollFor(500);
  EXPECT_EQ(d.unicastAtMs.size(), 3u);
}

TEST(DiscoveryTest, ADiscoveryFailsOnlyWhenNothingOfItCouldBeSent) {
  struct Row {
    const char* what;
    bool broadcastFails;
    bool rangeFails;
    bool succeeds;
  };
  const std::vector<Row> rows = {
      {"the broadcast cannot leave, the range can", true, false, true},
      {"the range cannot, the broadcast can", false, true, false},
      {"neither", true, true, false},
  };
  for (const Row& row : rows) {
    RangeDiscovery d;
    d.socket->sendErrorFor = [&row](const FakeDatagramSocket::Datagram& datagram) {
      const bool broadcast = datagram.address == kLimitedBroadcast;
      return (broadcast ? row.broadcastFails : row.rangeFails) ? wsa::kNetworkUnreachable : 0;
    };
    EXPECT_EQ(cli::DiscoverTargets(*d.network, 1000), row.succeeds) << row.what;
    const SweepReport report = *d.network->Sweep();
    EXPECT_EQ(report.done, 6u) << row.what;
    EXPECT_EQ(report.failed, row.rangeFails ? 6u : 0u) << row.what;
  }
}

TEST(DiscoveryTest, SharedAddressesAreThoseMoreThanOneTargetReports) {
  struct Row {
    const char* what;
    std::vector<uint32_t> addresses;                  // of targets 1, 2, ... in that order
    std::map<uint32_t, std::vector<uint8_t>> shared;  // address: the last MAC bytes holding it
  };
  const std::vector<Row> rows = {
      {"all apart", {0x7F00000A, 0x7F00000B, 0x7F00000C}, {}},
      {"two of three", {0x7F00000A, 0x7F00000B, 0x7F00000A}, {{0x7F00000A, {1, 3}}}},
      {"two pairs",
       {0x7F00000B, 0x7F00000A, 0x7F00000A, 0x7F00000B},
       {{0x7F00000A, {2, 3}}, {0x7F00000B, {1, 4}}}},
      {"three at once", {0x7F00000A, 0x7F00000A, 0x7F00000A}, {{0x7F00000A, {1, 2, 3}}}},
      {"without an address, none shares", {0, 0, 0x7F00000A}, {}},
      {"nobody", {}, {}},
  };
  for (const Row& row : rows) {
    std::vector<Target> records(row.addresses.size());
    std::vector<Target*> targets;
    for (size_t i = 0; i < records.size(); ++i) {
      records[i].mac = MacAddress{{0x02, 0, 0, 0, 0, static_cast<uint8_t>(i + 1)}};
      records[i].ipAddress = row.addresses[i];
      targets.push_back(&records[i]);
    }
    std::map<uint32_t, std::vector<uint8_t>> shared;
    for (const auto& [address, holders] : cli::SharedAddresses(targets)) {
      for (const Target* holder : holders) shared[address].push_back(holder->mac.bytes[5]);
    }
    EXPECT_EQ(shared, row.shared) << row.what;
  }
}

}  // namespace
}  // namespace qor::test
