// A discovery sent to every address of a range: the range's arithmetic, the pace on the tick
// count, and the sweep inside the network's polls, on a fake socket and clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/AddressRange.h"
#include "net/RangeSweep.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/NetworkAdapters.h"
#include "platform/TickCount.h"
#include "tests/common/FakeDatagramSocket.h"

namespace qor {
namespace {

TEST(AddressRangeTest, ARangeSkipsItsNetworkAndBroadcastAddressesBelowASlash31) {
  struct Row {
    const char* text;
    uint32_t first, last, count;
    const char* shown;
  };
  const std::vector<Row> rows = {
      {"10.71.4.0/24", 0x0A470401, 0x0A4704FE, 254, "10.71.4.0/24"},
      {"10.71.4.77/24", 0x0A470401, 0x0A4704FE, 254, "10.71.4.0/24"},  // host bits dropped
      {"10.71.0.0/16", 0x0A470001, 0x0A47FFFE, 65534, "10.71.0.0/16"},
      {"10.71.4.8/30", 0x0A470409, 0x0A47040A, 2, "10.71.4.8/30"},
      {"10.71.4.8/31", 0x0A470408, 0x0A470409, 2, "10.71.4.8/31"},
      {"10.71.4.9/32", 0x0A470409, 0x0A470409, 1, "10.71.4.9/32"},
      {"10.71.4.9", 0x0A470409, 0x0A470409, 1, "10.71.4.9/32"},
      {"127.0.0.0/16", 0x7F000001, 0x7F00FFFE, 65534, "127.0.0.0/16"},
  };
  for (const Row& row : rows) {
    const AddressRange range = AddressRange::Parse(row.text);
    EXPECT_EQ(range.First(), row.first) << row.text;
    EXPECT_EQ(range.Last(), row.last) << row.text;
    EXPECT_EQ(range.Count(), row.count) << row.text;
    EXPECT_EQ(range.Text(), row.shown) << row.text;
  }
}

TEST(AddressRangeTest, WhatIsNoRangeOrTooLargeOrHoldsNoTargetIsRefusedWithItsReason) {
  const std::string malformed = " is not an address range such as 10.71.4.0/24";
  struct Row {
    const char* text;
    std::string message;
  };
  const std::vector<Row> rows = {
      {"", "\"\"" + malformed},
      {"10.71.4/24", "\"10.71.4/24\"" + malformed},
      {"10.71.4.0/", "\"10.71.4.0/\"" + malformed},
      {"10.71.4.0/33", "\"10.71.4.0/33\"" + malformed},
      {"10.71.4.0/-1", "\"10.71.4.0/-1\"" + malformed},
      {"10.71.4.0/24x", "\"10.71.4.0/24x\"" + malformed},
      {"10.71.4.0/024", "\"10.71.4.0/024\"" + malformed},
      {"10.71.4.0/24/8", "\"10.71.4.0/24/8\"" + malformed},
      {"10.71.0.0/15",
       "10.70.0.0/15 holds 131072 addresses; a range may be at most a /16 (65536 addresses)"},
      {"0.0.0.0/0",
       "0.0.0.0/0 holds 4294967296 addresses; a range may be at most a /16 (65536 addresses)"},
      {"224.0.1.0/24",
       "No target can be in 224.0.1.0/24: 224.0.1.1 is a multicast address (224.0.0.0/4)"},
      {"255.255.0.0/16",
       "No target can be in 255.255.0.0/16: 255.255.0.1 is reserved for future use "
       "(240.0.0.0/4)"},
      {"0.1.0.0/16",
       "No target can be in 0.1.0.0/16: 0.1.0.1 is reserved: 0.0.0.0/8 stands for this network"},
  };
  for (const Row& row : rows) {
    try {
      (void)AddressRange::Parse(row.text);
      ADD_FAILURE() << row.text << ": no exception";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), row.message) << row.text;
    }
  }
}

TEST(RangeSweepTest, TheAddressOfIndexIIsDueIThousandthsOfASecondOverTheRateAfterTheStart) {
  // The clock just before its wrap: the pace must not notice.
  const uint32_t start = 0xFFFFFFF0;
  RangeSweep sweep(AddressRange::Parse("10.71.4.0/29"), 400);  // 6 addresses, one per 2.5 ms
  EXPECT_EQ(sweep.Due(start), 0u);                             // not started
  EXPECT_EQ(sweep.DueInMs(start), std::nullopt);
  sweep.Start(start);
  struct Step {
    uint32_t atMs;                    // after the start
    uint32_t due;                     // addresses due then
    uint32_t send;                    // of which the caller sends
    uint32_t next;                    // the address after that
    std::optional<uint32_t> dueInMs;  // until the next is due; nothing once all are sent
  };
  const std::vector<Step> steps = {
      {0, 1, 1, 0x0A470402, 3},  // the first at once; the second at 2.5 ms, rounded up
      {2, 0, 0, 0x0A470402, 1},  {3, 1, 1, 0x0A470403, 2},
      {11, 3, 2, 0x0A470405, 0},  // late: all due by now (up to index 4); two are sent
      {11, 1, 1, 0x0A470406, 2},  // the rest of them; the last is due at 12.5 ms
      {12, 0, 0, 0x0A470406, 1}, {13, 1, 1, 0x0A470407, std::nullopt},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.atMs);
    EXPECT_EQ(sweep.Due(start + step.atMs), step.due);
    sweep.Sent(step.send);
    EXPECT_EQ(sweep.Next(), step.next);
    EXPECT_EQ(sweep.DueInMs(start + step.atMs), step.dueInMs);
  }
  EXPECT_FALSE(sweep.Running());
  EXPECT_EQ(sweep.Due(start + 1000), 0u);
  EXPECT_EQ(sweep.DueInMs(start + 1000), std::nullopt);

  // Failures are counted with the first text, and the sweep goes on past them.
  sweep.Start(start);
  sweep.Failed("Failed sendto: network unreachable");
  sweep.Failed("Failed sendto: no buffer space available");
  EXPECT_EQ(sweep.Next(), 0x0A470403u);
  const SweepReport report = sweep.Report();
  EXPECT_EQ(report.total, 6u);
  EXPECT_EQ(report.done, 2u);
  EXPECT_EQ(report.failed, 2u);
  EXPECT_EQ(report.firstError, "Failed sendto: network unreachable");
  EXPECT_TRUE(report.running);
  EXPECT_EQ(SweepFailureText(report),
            "Failed to send the discovery to 2 of the 6 addresses of 10.71.4.0/29: Failed sendto: "
            "network unreachable");
  sweep.Stop();
  EXPECT_FALSE(sweep.Running());
  EXPECT_EQ(sweep.Due(start + 1000), 0u);
}

// A network over a fake socket and clock whose waits last their whole timeout unless a datagram
// is queued, and a target at every address of 10.71.4.0/28 that answers a unicast discovery.
struct SweptNetwork {
  FakeTickSource clock{5000};
  ScopedTickSource scoped{clock};
  test::FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
  std::vector<uint32_t> unicastAtMs;  // when each unicast request left, from the start
  std::vector<uint32_t> waits;        // the timeouts the network waited with

  explicit SweptNetwork(uint32_t rate, const char* range = "10.71.4.0/28") {
    auto fake = std::make_unique<test::FakeDatagramSocket>();
    socket = fake.get();
    network = std::make_unique<TargetNetwork>(std::move(fake));
    network->SetDiscoveryRange(AddressRange::Parse(range), rate);
    socket->onSend = [this](const test::FakeDatagramSocket::Datagram& datagram) {
      if (datagram.address == kLimitedBroadcast) return;
      unicastAtMs.push_back(clock.Now() - 5000);
      const auto last = static_cast<uint8_t>(datagram.address);
      const MacAddress mac{{0x02, 0, 0, 0, 0x04, last}};
      socket->Deliver(wire::DiscoverReply{.mac = mac, .ipAddress = datagram.address}.Encode(),
                      kTargetPort, datagram.address);
    };
    socket->onWait = [this](int timeoutMs) {
      waits.push_back(static_cast<uint32_t>(timeoutMs));
      if (socket->incoming.empty()) clock.Advance(static_cast<uint32_t>(timeoutMs));
    };
  }
};

TEST(RangeSweepTest, PollsSendTheRangeAtItsPaceAndTakeAnswersInMeanwhile) {
  SweptNetwork s(100);  // 14 addresses, one every 10 ms
  s.network->Discover();
  // The broadcast, then the range's first address at once.
  ASSERT_EQ(s.socket->sent.size(), 2u);
  EXPECT_EQ(s.socket->sent[0].address, kLimitedBroadcast);
  EXPECT_EQ(s.socket->sent[1].address, 0x0A470401u);
  EXPECT_EQ(s.socket->sent[1].bytes, wire::DiscoverRequest{}.Encode());

  // Half the sweep's time: each wait ends for the next send, and each answer is taken in at once.
  s.network->PollFor(65);
  EXPECT_EQ(s.unicastAtMs, (std::vector<uint32_t>{0, 10, 20, 30, 40, 50, 60}));
  EXPECT_EQ(s.network->Table().Size(), 7u);
  EXPECT_TRUE(std::all_of(s.waits.begin(), s.waits.end(), [](uint32_t w) { return w <= 10; }));
  ASSERT_TRUE(s.network->Sweep());
  EXPECT_TRUE(s.network->Sweep()->running);
  EXPECT_EQ(s.network->Sweep()->done, 7u);

  s.network->PollFor(1000);
  ASSERT_EQ(s.unicastAtMs.size(), 14u);
  EXPECT_EQ(s.unicastAtMs.back(), 130u);
  EXPECT_EQ(s.socket->sent.back().address, 0x0A47040Eu);
  EXPECT_EQ(s.network->Table().Size(), 14u);
  EXPECT_FALSE(s.network->Sweep()->running);
  EXPECT_EQ(s.network->Sweep()->failed, 0u);
  // Once it is over, the wait is the caller's own again.
  EXPECT_GT(s.waits.back(), 800u);

  // A new discovery sweeps again from the first address; the answers merge by MAC.
  s.network->Rediscover();
  EXPECT_EQ(s.socket->sent.back().address, 0x0A470401u);
  EXPECT_TRUE(s.network->Sweep()->running);
  s.network->StopSweep();
  s.network->PollFor(1000);
  EXPECT_EQ(s.unicastAtMs.size(), 15u);
  EXPECT_EQ(s.network->Table().Size(), 14u);
}

TEST(RangeSweepTest, NoSecondSeesMoreThanTheRateEvenWhenPollsComeLate) {
  SweptNetwork s(50, "10.71.4.0/26");                      // 62 addresses, one every 20 ms
  s.socket->onWait = [&s](int) { s.clock.Advance(170); };  // a caller that polls only so often
  s.network->Discover();
  s.network->PollFor(5000);
  ASSERT_EQ(s.unicastAtMs.size(), 62u);
  // The last address is due at 61 * 20 ms; it leaves at the first poll after that.
  EXPECT_GE(s.unicastAtMs.back(), 1220u);
  EXPECT_LT(s.unicastAtMs.back(), 1220u + 170u);
  for (size_t first = 0; first < s.unicastAtMs.size(); ++first) {
    const auto within =
        std::count_if(s.unicastAtMs.begin() + static_cast<long>(first), s.unicastAtMs.end(),
                      [&](uint32_t at) { return at < s.unicastAtMs[first] + 1000; });
    EXPECT_LE(within, 51) << "from request " << first;  // rate + the one at the window's start
  }
}

TEST(RangeSweepTest, AFullSendQueueWaitsForTheNextPollAndOtherFailuresAreCounted) {
  SweptNetwork s(1000, "10.71.4.0/29");  // 6 addresses, one a millisecond
  int busy = 2;
  s.socket->sendErrorFor = [&busy](const test::FakeDatagramSocket::Datagram& datagram) {
    if (datagram.address == 0x0A470403 && busy > 0) {
      --busy;
      return wsa::kWouldBlock;
    }
    if (datagram.address == 0x0A470404 || datagram.address == 0x0A470405) {
      return wsa::kNetworkUnreachable;
    }
    return 0;
  };
  s.network->Discover();
  s.network->PollFor(100);
  // .3 went after two tries; .4 and .5 failed for good; nothing was thrown.
  std::vector<uint32_t> sent;
  for (const auto& datagram : s.socket->sent) sent.push_back(datagram.address & 0xFF);
  EXPECT_EQ(sent, (std::vector<uint32_t>{0xFF, 1, 2, 3, 6}));
  const SweepReport report = *s.network->Sweep();
  EXPECT_FALSE(report.running);
  EXPECT_EQ(report.done, 6u);
  EXPECT_EQ(report.failed, 2u);
  EXPECT_EQ(report.firstError, "Failed sendto: network unreachable");
  EXPECT_EQ(s.network->Table().Size(), 4u);
}

TEST(RangeSweepTest, WithoutARangeADiscoveryIsTheBroadcastAlone) {
  SweptNetwork s(100);
  s.network->SetDiscoveryRange(std::nullopt);
  s.network->Discover();
  s.network->PollFor(1000);
  ASSERT_EQ(s.socket->sent.size(), 1u);
  EXPECT_EQ(s.socket->sent[0].address, kLimitedBroadcast);
  EXPECT_FALSE(s.network->Sweep());
  EXPECT_EQ(s.waits, (std::vector<uint32_t>{1000}));
}

TEST(RangeSweepTest, OneAdaptersBroadcastsAreTheLimitedOneAndItsSubnets) {
  NetworkInterface adapter;
  adapter.name = "qor1";
  adapter.canBroadcast = true;
  adapter.addresses = {{"qor1", 0x0A470101, 0xFFFFFF00}, {"qor1", 0x0A480001, 0xFFFF0000}};
  EXPECT_EQ(TargetNetwork::BroadcastAddressesOf(adapter),
            (std::vector<uint32_t>{kLimitedBroadcast, 0x0A4701FF, 0x0A48FFFF}));
  // A point-to-point link has no subnet broadcast; loopback's reaches this machine's sockets.
  adapter.canBroadcast = false;
  EXPECT_EQ(TargetNetwork::BroadcastAddressesOf(adapter),
            (std::vector<uint32_t>{kLimitedBroadcast}));
  adapter.loopback = true;
  adapter.addresses = {{"lo", 0x7F000001, 0xFF000000}};
  EXPECT_EQ(TargetNetwork::BroadcastAddressesOf(adapter),
            (std::vector<uint32_t>{kLimitedBroadcast, 0x7FFFFFFF}));
}

}  // namespace
}  // namespace qor
