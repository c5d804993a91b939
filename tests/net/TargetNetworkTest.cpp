#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/NetworkAdapters.h"
#include "platform/TickCount.h"
#include "script/DataSection.h"
#include "tests/common/FakeDatagramSocket.h"
#include "tests/net/NetTestSupport.h"

namespace qor {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr MacAddress kMac{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
constexpr MacAddress kOtherMac{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F}};

// Replies written out byte by byte, independently of the code under test.
Bytes DiscoverReply(const MacAddress& mac, uint32_t ip, uint16_t vendor, uint16_t product,
                    uint32_t staging) {
  return {0x00,
          0x01,
          0x80,
          0x01,
          mac.bytes[0],
          mac.bytes[1],
          mac.bytes[2],
          mac.bytes[3],
          mac.bytes[4],
          mac.bytes[5],
          0x00,
          0x00,
          static_cast<uint8_t>(ip >> 24),
          static_cast<uint8_t>(ip >> 16),
          static_cast<uint8_t>(ip >> 8),
          static_cast<uint8_t>(ip),
          static_cast<uint8_t>(vendor >> 8),
          static_cast<uint8_t>(vendor),
          static_cast<uint8_t>(product >> 8),
          static_cast<uint8_t>(product),
          static_cast<uint8_t>(staging >> 24),
          static_cast<uint8_t>(staging >> 16),
          static_cast<uint8_t>(staging >> 8),
          static_cast<uint8_t>(staging)};
}

// A FinalReply (type 0x8002) or ProgressReply (0x8003) with requestId and status or value.
Bytes Reply(uint16_t type, const MacAddress& mac, uint32_t requestId, uint32_t value,
            const Bytes& payload = {}) {
  Bytes bytes = {0x00, 0x01, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
  bytes.insert(bytes.end(), mac.bytes.begin(), mac.bytes.end());
  bytes.insert(bytes.end(), {0x00, 0x00});
  for (const uint32_t field : {requestId, value}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<uint8_t>(field >> shift));
  }
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

class TargetNetworkTest : public testing::Test {
 protected:
  TargetNetworkTest() {
    auto fake = std::make_unique<test::FakeDatagramSocket>();
    socket = fake.get();
    network = std::make_unique<TargetNetwork>(std::move(fake));
  }

  // A target in the table, as a DiscoverReply puts it there.
  Target& Announce(const MacAddress& mac, uint32_t ip = 0x7F00000A) {
    socket->Deliver(DiscoverReply(mac, ip, 0x1234, 0x0001, 0x100000));
    network->Poll();
    Target* target = network->Table().Find(mac);
    EXPECT_NE(target, nullptr);
    return *target;
  }

  test::FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
};

TEST_F(TargetNetworkTest, SendersEncodeEveryRequestByteByByte) {
  Target target;
  target.mac = kMac;
  target.ipAddress = 0x7F00000A;

  network->Discover();
  network->SendAssignAddressRequest(kMac, 0x7F000014);
  network->SendFillRequest(target, 41, 0x00012345);
  network->SendDataRequest(target, 18467, 0x400, DataBlock{0xDEAD, {0x01, 0x02, 0xFF}});
  network->SendWriteRequest(target, 6334, 0x00F00000, 0x1000, 0xCBF43926);
  network->SendReadRequest(target, 26500, 0x00F00400, 1024);
  network->SendRestartRequest(target, 0x7FFF);

  const Bytes header = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x00};
  const auto with = [&](std::initializer_list<uint8_t> start, std::initializer_list<uint8_t> rest) {
    Bytes bytes(start);
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.insert(bytes.end(), rest);
    return bytes;
  };
  const std::vector<Bytes> expected = {
      {0x00, 0x01, 0x00, 0x01},
      with({0x00, 0x01, 0x00, 0x02}, {0x7F, 0x00, 0x00, 0x14}),
      with({0x00, 0x01, 0x00, 0x03},
           {0x00, 0x00, 0x00, 0x29, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x23, 0x45}),
      with({0x00, 0x01, 0x00, 0x04},
           {0x00, 0x00, 0x48, 0x23, 0x00, 0x00, 0x04, 0x00, 0x01, 0x02, 0xFF}),
      with({0x00, 0x01, 0x00, 0x05}, {0x00, 0x00, 0x18, 0xBE, 0x00, 0xF0, 0x00, 0x00, 0x00, 0x00,
                                      0x10, 0x00, 0xCB, 0xF4, 0x39, 0x26}),
      with({0x00, 0x01, 0x00, 0x07},
           {0x00, 0x00, 0x67, 0x84, 0x00, 0xF0, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00}),
      with({0x00, 0x01, 0x00, 0x08}, {0x00, 0x00, 0x7F, 0xFF}),
  };
  ASSERT_EQ(socket->sent.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(socket->sent[i].bytes, expected[i]) << "message " << i;
    EXPECT_EQ(socket->sent[i].port, 5266) << "message " << i;
    // Discovery and assignment are broadcast; the others go to the target's own address.
    EXPECT_EQ(socket->sent[i].address, i < 2 ? 0xFFFFFFFFu : 0x7F00000Au) << "message " << i;
  }
}

TEST_F(TargetNetworkTest, DataAndReadRequestsStayWithin1024Bytes) {
  Target target;
  target.mac = kMac;
  network->SendDataRequest(target, 1, 0, DataBlock{0, Bytes(1024, 0xA5)});
  ASSERT_EQ(socket->sent.size(), 1u);
  EXPECT_EQ(socket->sent[0].bytes.size(), 1044u);
  EXPECT_EQ(socket->sent[0].bytes.back(), 0xA5);

  EXPECT_THROW(network->SendDataRequest(target, 1, 0, DataBlock{0, Bytes(1025, 0)}), Exception);
  EXPECT_THROW(network->SendDataRequest(target, 1, 0, DataBlock{0, {}}), Exception);
  // A longer read could not come back in one 1200-byte datagram.
  EXPECT_THROW(network->SendReadRequest(target, 1, 0, 1025), Exception);
  EXPECT_EQ(socket->sent.size(), 1u);
}

TEST_F(TargetNetworkTest, FailedSendsRaiseTheirTexts) {
  const uint8_t message[4] = {0, 1, 0, 1};
  socket->sendError = wsa::kNetworkUnreachable;
  try {
    network->Send(message, sizeof message, nullptr);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Failed sendto: network unreachable");
  }
  socket->sendError = 0;
  socket->shortSendBy = 1;
  try {
    network->Send(message, sizeof message, nullptr);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "sendto sent only 3 of 4 bytes");
  }
}

TEST_F(TargetNetworkTest, DiscoverEmptiesTheTableAndBroadcastsToTheGivenAddress) {
  auto fake = std::make_unique<test::FakeDatagramSocket>();
  test::FakeDatagramSocket& own = *fake;
  TargetNetwork subnet(std::move(fake), 0x7FFFFFFF);
  EXPECT_EQ(subnet.BroadcastAddressList(), std::vector<uint32_t>{0x7FFFFFFFu});
  own.Deliver(DiscoverReply(kMac, 0x7F00000A, 1, 2, 3));
  subnet.Poll();
  ASSERT_EQ(subnet.Table().Size(), 1u);
  subnet.Table().Find(kMac)->environment.entries["ipaddr"] = "127.0.0.10";

  subnet.Discover();
  EXPECT_EQ(subnet.Table().Size(), 0u);
  EXPECT_TRUE(subnet.Table().InArrivalOrder().empty());
  ASSERT_EQ(own.sent.size(), 1u);
  EXPECT_EQ(own.sent[0].bytes, (Bytes{0x00, 0x01, 0x00, 0x01}));
  EXPECT_EQ(own.sent[0].address, 0x7FFFFFFFu);

  // The environment a script loaded went with the target.
  own.Deliver(DiscoverReply(kMac, 0x7F00000A, 1, 2, 3));
  subnet.Poll();
  EXPECT_TRUE(subnet.Table().Find(kMac)->environment.entries.empty());
}

TEST_F(TargetNetworkTest, RediscoverBroadcastsAndKeepsTheTableAndWhatItHolds) {
  Target& target = Announce(kMac);
  target.environment.entries["ipaddr"] = "127.0.0.10";
  test::RecordingContext context;
  context.Hook(target, 41);
  network->Rediscover();
  ASSERT_EQ(socket->sent.size(), 1u);
  EXPECT_EQ(socket->sent[0].bytes, (Bytes{0x00, 0x01, 0x00, 0x01}));
  EXPECT_EQ(socket->sent[0].address, 0xFFFFFFFFu);
  ASSERT_EQ(network->Table().Find(kMac), &target);
  EXPECT_EQ(target.environment.entries.at("ipaddr"), "127.0.0.10");
  EXPECT_EQ(target.pendingContext, &context);
  // The answer updates the same entry.
  socket->Deliver(DiscoverReply(kMac, 0x7F000063, 0x1234, 0x0001, 0x100000));
  network->Poll();
  EXPECT_EQ(network->Table().Size(), 1u);
  EXPECT_EQ(target.ipAddress, 0x7F000063u);
  context.Unhook();
}

TEST(TargetNetworkBroadcastTest, EveryAdapterAddsItsSubnetBroadcastOnceAfterTheLimitedOne) {
  struct Row {
    const char* what;
    std::vector<NetworkAdapter> adapters;
    std::vector<uint32_t> expected;
  };
  const std::vector<Row> rows = {
      {"no adapter", {}, {0xFFFFFFFF}},
      {"two subnets",
       {{"eth0", 0x0A470102, 0xFFFFFF00}, {"eth1", 0xC0A80005, 0xFFFF0000}},
       {0xFFFFFFFF, 0x0A4701FF, 0xC0A8FFFF}},
      {"two addresses on one subnet",
       {{"eth0", 0x0A470102, 0xFFFFFF00}, {"eth0", 0x0A470103, 0xFFFFFF00}},
       {0xFFFFFFFF, 0x0A4701FF}},
      {"a /30 has a broadcast", {{"eth0", 0x0A000005, 0xFFFFFFFC}}, {0xFFFFFFFF, 0x0A000007}},
      {"a /31 and a /32 have none",
       {{"p2p", 0x0A000004, 0xFFFFFFFE}, {"host", 0x0A000009, 0xFFFFFFFF}},
       {0xFFFFFFFF}},
      {"a /0 is the limited broadcast itself", {{"any", 0x0A000004, 0}}, {0xFFFFFFFF}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TargetNetwork::BroadcastAddressesOf(row.adapters), row.expected) << row.what;
  }
}

TEST(TargetNetworkBroadcastTest, BroadcastsGoToEveryAddressAskedForAtThatMoment) {
  auto fake = std::make_unique<test::FakeDatagramSocket>();
  test::FakeDatagramSocket& socket = *fake;
  std::vector<uint32_t> addresses = {0xFFFFFFFF, 0x0A4701FF};
  TargetNetwork network(std::move(fake), [&addresses] { return addresses; });

  network.Discover();
  network.SendAssignAddressRequest(kMac, 0x7F000014);
  // An adapter that came up since: the next broadcast reaches it too.
  addresses.push_back(0x0A4702FF);
  network.Discover();
  Target target;
  target.mac = kMac;
  target.ipAddress = 0x0A470105;
  network.SendRestartRequest(target, 41);

  const std::vector<std::pair<uint16_t, uint32_t>> expected = {
      {1, 0xFFFFFFFF}, {1, 0x0A4701FF}, {2, 0xFFFFFFFF}, {2, 0x0A4701FF},
      {1, 0xFFFFFFFF}, {1, 0x0A4701FF}, {1, 0x0A4702FF}, {8, 0x0A470105}};
  ASSERT_EQ(socket.sent.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(socket.sent[i].bytes[3], expected[i].first) << "message " << i;
    EXPECT_EQ(socket.sent[i].address, expected[i].second) << "message " << i;
    EXPECT_EQ(socket.sent[i].port, 5266) << "message " << i;
  }
}

TEST(TargetNetworkBroadcastTest, ABroadcastFailsOnlyWhenNoAddressTookIt) {
  auto fake = std::make_unique<test::FakeDatagramSocket>();
  test::FakeDatagramSocket& socket = *fake;
  TargetNetwork network(std::move(fake), [] {
    return std::vector<uint32_t>{0xFFFFFFFF, 0x0A4701FF};
  });
  std::vector<std::string> messages;
  network.SetDiscoverErrorHandler([&](const std::string& text) { messages.push_back(text); });

  // No default route: the limited broadcast cannot leave, the adapter's subnet still hears it.
  socket.sendErrorTo[0xFFFFFFFF] = wsa::kNetworkUnreachable;
  network.Discover();
  EXPECT_NO_THROW(network.SendAssignAddressRequest(kMac, 0x7F000014));
  EXPECT_TRUE(messages.empty());
  ASSERT_EQ(socket.sent.size(), 2u);
  EXPECT_EQ(socket.sent[0].address, 0x0A4701FFu);
  EXPECT_EQ(socket.sent[1].address, 0x0A4701FFu);

  // Neither can: the first address's error is the one reported.
  socket.sendErrorTo[0x0A4701FF] = wsa::kHostUnreachable;
  network.Discover();
  EXPECT_EQ(messages, (std::vector<std::string>{"Failed sendto: network unreachable"}));
  try {
    network.SendAssignAddressRequest(kMac, 0x7F000014);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Failed sendto: network unreachable");
  }
}

TEST_F(TargetNetworkTest, AFailedDiscoveryGoesToItsHandlerOnce) {
  Announce(kMac);
  socket->sendError = wsa::kNetworkUnreachable;
  std::vector<std::string> messages;
  network->SetDiscoverErrorHandler([&](const std::string& text) { messages.push_back(text); });
  EXPECT_NO_THROW(network->Discover());
  EXPECT_EQ(messages, (std::vector<std::string>{"Failed sendto: network unreachable"}));
  EXPECT_EQ(network->Table().Size(), 0u);

  // Without a handler the failure is not lost.
  network->SetDiscoverErrorHandler(nullptr);
  EXPECT_THROW(network->Discover(), Exception);
}

TEST_F(TargetNetworkTest, DiscoverRepliesCreateTargetsAndLaterOnesChangeOnlyTheAddress) {
  test::RecordingList list;
  socket->Deliver(DiscoverReply(kMac, 0x7F00000A, 0x1234, 0x0001, 0x100000));
  network->Poll(&list);
  Target* target = network->Table().Find(kMac);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(target->ipAddress, 0x7F00000Au);
  EXPECT_EQ(target->vendorId, 0x1234);
  EXPECT_EQ(target->productId, 0x0001);
  EXPECT_EQ(target->stagingSize, 0x100000u);
  EXPECT_EQ(target->pendingContext, nullptr);
  EXPECT_EQ(target->pendingRequestId, 0u);
  EXPECT_EQ(list.updates, (std::vector<Target*>{target}));

  socket->Deliver(DiscoverReply(kMac, 0x7F000063, 0x9999, 0x8888, 0x10));
  network->Poll(&list);
  EXPECT_EQ(network->Table().Size(), 1u);
  EXPECT_EQ(network->Table().Find(kMac), target);
  EXPECT_EQ(target->ipAddress, 0x7F000063u);
  EXPECT_EQ(target->vendorId, 0x1234);
  EXPECT_EQ(target->productId, 0x0001);
  EXPECT_EQ(target->stagingSize, 0x100000u);
  EXPECT_EQ(list.updates, (std::vector<Target*>{target, target}));

  // Taken in while the script runner polls: the table changes, no row is told.
  socket->Deliver(DiscoverReply(kMac, 0, 0x1234, 0x0001, 0x100000));
  network->Poll();
  EXPECT_EQ(target->ipAddress, 0u);
  EXPECT_EQ(list.updates.size(), 2u);
}

TEST_F(TargetNetworkTest, ADiscoverReplyNeedsTwentyFourBytes) {
  Bytes reply = DiscoverReply(kMac, 0x7F00000A, 0x1234, 0x0001, 0x100000);
  reply.pop_back();
  socket->Deliver(reply);
  network->Poll();
  EXPECT_EQ(network->Table().Size(), 0u);

  Bytes longer = DiscoverReply(kMac, 0x7F00000A, 0x1234, 0x0001, 0x100000);
  longer.insert(longer.end(), {0xEE, 0xEE, 0xEE});
  socket->Deliver(longer);
  network->Poll();
  ASSERT_NE(network->Table().Find(kMac), nullptr);
  EXPECT_EQ(network->Table().Find(kMac)->stagingSize, 0x100000u);
}

TEST_F(TargetNetworkTest, RepliesReachOnlyTheHookedContextWithTheCurrentRequestId) {
  Target& target = Announce(kMac);
  test::RecordingContext context;
  // Told once per poll that brought a waiting context something, and free to poll in turn.
  int told = 0;
  network->SetReplyListener([&] {
    ++told;
    network->Poll();
  });

  // No context waits yet.
  socket->Deliver(Reply(0x8002, kMac, 41, 0));
  network->Poll();
  context.Hook(target, 41);
  // Unknown MAC, then an answer to an earlier request.
  socket->Deliver(Reply(0x8002, kOtherMac, 41, 0));
  socket->Deliver(Reply(0x8002, kMac, 40, 0));
  network->Poll();
  EXPECT_TRUE(context.replies.empty());
  EXPECT_EQ(told, 0);

  // Exactly 20 bytes: no payload; 21 bytes: one payload byte.
  socket->Deliver(Reply(0x8002, kMac, 41, 7));
  socket->Deliver(Reply(0x8002, kMac, 41, 0, {0xAB}));
  socket->Deliver(Reply(0x8003, kMac, 41, 0x00F00400));
  network->Poll();
  ASSERT_EQ(context.replies.size(), 2u);
  EXPECT_EQ(context.replies[0].status, 7u);
  EXPECT_TRUE(context.replies[0].payloadIsNull);
  EXPECT_TRUE(context.replies[0].payload.empty());
  EXPECT_EQ(context.replies[1].status, 0u);
  EXPECT_FALSE(context.replies[1].payloadIsNull);
  EXPECT_EQ(context.replies[1].payload, (Bytes{0xAB}));
  EXPECT_EQ(context.progress, (std::vector<uint32_t>{0x00F00400}));
  EXPECT_EQ(told, 1);

  // The dispatch leaves the hook to the directives.
  EXPECT_EQ(target.pendingContext, &context);
  EXPECT_EQ(target.pendingRequestId, 41u);

  // Reply types other than Final and Progress are dropped.
  socket->Deliver(Reply(0x8004, kMac, 41, 0));
  network->Poll();
  EXPECT_EQ(context.replies.size(), 2u);
  EXPECT_EQ(context.progress.size(), 1u);
  EXPECT_EQ(told, 1);
  network->SetReplyListener(nullptr);
  socket->Deliver(Reply(0x8002, kMac, 41, 0));
  network->Poll();
  EXPECT_EQ(told, 1);
}

// Whoever drives many runs steps only the ones whose requests were answered: each target whose
// waiting context took a reply or progress is told, as often as it took one, and no other.
TEST_F(TargetNetworkTest, TakeAnsweredTellsTheTargetsWhoseWaitingContextTookSomething) {
  Target& first = Announce(kMac);
  Target& second = Announce(kOtherMac, 0x7F00000B);
  test::RecordingContext one;
  test::RecordingContext two;
  one.Hook(first, 5);
  two.Hook(second, 9);
  std::vector<Target*> answered;
  EXPECT_TRUE(network->TakeAnswered(answered));
  EXPECT_TRUE(answered.empty());

  socket->Deliver(Reply(0x8002, kOtherMac, 8, 0));  // an earlier request's: nobody waits for it
  socket->Deliver(Reply(0x8003, kOtherMac, 9, 0x100));
  socket->Deliver(Reply(0x8002, kMac, 5, 0));
  socket->Deliver(Reply(0x8002, kOtherMac, 9, 0));
  network->Poll();
  EXPECT_TRUE(network->TakeAnswered(answered));
  EXPECT_EQ(answered, (std::vector<Target*>{&second, &first, &second}));
  // Taken: the next call starts afresh, and a stale list handed in is emptied.
  EXPECT_TRUE(network->TakeAnswered(answered));
  EXPECT_TRUE(answered.empty());

  // Emptying the table forgets who was answered: the caller must step everyone.
  socket->Deliver(Reply(0x8002, kMac, 5, 0));
  network->Poll();
  network->Discover();
  EXPECT_FALSE(network->TakeAnswered(answered));
  EXPECT_TRUE(answered.empty());
  EXPECT_TRUE(network->TakeAnswered(answered));
}

// Too short for a field they carry: dropped, never read as zeros (a zero status would report
// success for a request that may have failed).
TEST_F(TargetNetworkTest, TruncatedRepliesAreDropped) {
  Target& target = Announce(kMac);
  test::RecordingContext context;
  context.Hook(target, 41);
  for (const size_t length : {19u, 16u, 15u, 11u}) {
    Bytes final = Reply(0x8002, kMac, 41, 0);
    final.resize(length);
    Bytes progress = Reply(0x8003, kMac, 41, 5);
    progress.resize(length);
    socket->Deliver(final);
    socket->Deliver(progress);
  }
  socket->Deliver({0x00, 0x01, 0x80});
  network->Poll();
  EXPECT_TRUE(context.replies.empty());
  EXPECT_TRUE(context.progress.empty());
  EXPECT_TRUE(socket->incoming.empty());
}

TEST_F(TargetNetworkTest, OnlyVersionOneRepliesFromPort5266AreAccepted) {
  socket->Deliver(DiscoverReply(kMac, 0x7F00000A, 1, 1, 1), 5267);
  Bytes version2 = DiscoverReply(kMac, 0x7F00000A, 1, 1, 1);
  version2[1] = 2;
  socket->Deliver(version2);
  // A request echoed back by another host: the type lacks the top bit.
  Bytes request = DiscoverReply(kMac, 0x7F00000A, 1, 1, 1);
  request[2] = 0x00;
  socket->Deliver(request);
  network->Poll();
  EXPECT_EQ(network->Table().Size(), 0u);

  socket->Deliver(DiscoverReply(kMac, 0x7F00000A, 1, 1, 1), 5266, 0x0A000001);
  network->Poll();
  // The source address is not looked at; the MAC inside decides.
  EXPECT_EQ(network->Table().Size(), 1u);
}

TEST_F(TargetNetworkTest, AnOversizedDatagramEndsThePollAndIsLost) {
  socket->Deliver(DiscoverReply(kMac, 0x7F00000A, 1, 1, 1));
  socket->Deliver(Bytes(1201, 0));
  socket->Deliver(DiscoverReply(kOtherMac, 0x7F00000B, 1, 1, 1));
  network->Poll();
  EXPECT_EQ(network->Table().Size(), 1u);
  EXPECT_EQ(socket->incoming.size(), 1u);
  network->Poll();
  EXPECT_EQ(network->Table().Size(), 2u);
  // A poll of an empty queue returns at once.
  network->Poll();
  EXPECT_EQ(socket->lastError, wsa::kWouldBlock);
}

TEST_F(TargetNetworkTest, AFloodOfInventedMacsFillsTheTableOnlyToItsBound) {
  Announce(kMac);
  const size_t flood = TargetTable::kMaxTargets + 500;
  for (size_t i = 0; i < flood; ++i) {
    const MacAddress invented{{0x06, 0x66, 0, static_cast<uint8_t>(i >> 16),
                               static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}};
    socket->Deliver(DiscoverReply(invented, 0x7F000100, 1, 1, 1));
  }
  // The target known before the flood still answers into its own entry.
  socket->Deliver(DiscoverReply(kMac, 0x7F000063, 1, 1, 1));
  network->Poll();
  EXPECT_EQ(network->Table().Size(), TargetTable::kMaxTargets);
  EXPECT_EQ(network->Table().Dropped(), flood - (TargetTable::kMaxTargets - 1));
  EXPECT_EQ(network->Table().Find(kMac)->ipAddress, 0x7F000063u);
  network->Discover();
  EXPECT_EQ(network->Table().Dropped(), 0u);
}

TEST_F(TargetNetworkTest, ArrivalOrderIsTheOrderOfFirstAnswers) {
  const MacAddress high{{0xFF, 0, 0, 0, 0, 1}};
  const MacAddress low{{0x00, 0, 0, 0, 0, 1}};
  socket->Deliver(DiscoverReply(high, 0x7F00000A, 1, 1, 1));
  socket->Deliver(DiscoverReply(low, 0x7F00000B, 1, 1, 1));
  socket->Deliver(DiscoverReply(high, 0x7F00000C, 1, 1, 1));
  network->Poll();
  const auto& arrivals = network->Table().InArrivalOrder();
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0]->mac, high);
  EXPECT_EQ(arrivals[1]->mac, low);
  const auto byMac = network->Table().Targets();
  EXPECT_EQ(byMac[0]->mac, low);
  EXPECT_EQ(byMac[1]->mac, high);
}

// A clock that moves a little every time it is read, starting just before the wrap.
class CreepingClock final : public TickSource {
 public:
  uint32_t Now() override { return now_ += 7; }

 private:
  uint32_t now_ = 0xFFFFFFF0;
};

TEST_F(TargetNetworkTest, PollForKeepsPollingUntilTheTimeHasPassed) {
  CreepingClock clock;
  ScopedTickSource installed(clock);
  socket->Deliver(DiscoverReply(kMac, 0x7F00000A, 1, 1, 1));
  const uint32_t before = clock.Now();
  network->PollFor(100);
  EXPECT_GE(static_cast<uint32_t>(clock.Now() - before), 100u);
  EXPECT_LT(static_cast<uint32_t>(clock.Now() - before), 200u);
  EXPECT_EQ(network->Table().Size(), 1u);
}

TEST_F(TargetNetworkTest, PollForStopsAsSoonAsItsConditionHolds) {
  CreepingClock clock;
  ScopedTickSource installed(clock);
  socket->Deliver(DiscoverReply(kMac, 0x7F00000A, 1, 1, 1));
  int asked = 0;
  const uint32_t before = clock.Now();
  network->PollFor(100000, nullptr, [&] {
    ++asked;
    return network->Table().Find(kMac) != nullptr;
  });
  EXPECT_EQ(asked, 1);  // the reply was there at the first poll
  EXPECT_LT(static_cast<uint32_t>(clock.Now() - before), 100u);
}

}  // namespace
}  // namespace qor
