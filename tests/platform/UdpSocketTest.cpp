// Real sockets: runs inside its own network namespace (scripts/netns-run).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <vector>

#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/ListeningUdpSocket.h"
#include "platform/NetworkAdapters.h"
#include "platform/ReceiveSpin.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"
#include "tests/common/SocketTestSupport.h"

namespace qor {
namespace {

using Bytes = std::vector<uint8_t>;

// The socket is never bound: it learns its port by sending first, as the program does.
uint16_t Introduce(UdpSocket& socket, test::Peer& peer) {
  const uint8_t hello[4] = {0, 1, 0, 1};
  EXPECT_EQ(socket.SendTo(hello, sizeof hello, 0xFFFFFFFF, 5266), 4);
  uint32_t address = 0;
  uint16_t port = 0;
  EXPECT_EQ(peer.Receive(address, port), (Bytes{0, 1, 0, 1}));
  return port;
}

TEST(UdpSocketTest, BroadcastsReachLocalSocketsAndAnswersComeBack) {
  UdpSocket socket;
  test::Peer peer;
  // Nothing has been sent yet: an unbound socket simply yields nothing.
  uint8_t buffer[kMaxDatagram];
  uint32_t address = 0;
  uint16_t port = 0;
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), -1);
  EXPECT_EQ(socket.LastError(), wsa::kWouldBlock);

  const uint16_t local = Introduce(socket, peer);
  ASSERT_NE(local, 0);
  peer.SendTo({1, 2, 3, 4, 5}, 0x7F000001, local);
  ASSERT_TRUE(socket.WaitReadable(2000));
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), 5);
  EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(port, 5266);
  EXPECT_EQ(address >> 24, 127u);
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), -1);
  EXPECT_EQ(socket.LastError(), wsa::kWouldBlock);
  EXPECT_FALSE(socket.WaitReadable(10));
}

// --interface: the socket sends through the chosen adapter alone and hears the answers there.
TEST(UdpSocketTest, ASocketBoundToAnAdapterSendsAndHearsThroughIt) {
  const std::vector<NetworkInterface> adapters = ListInterfaces();
  const auto loopback = std::find_if(adapters.begin(), adapters.end(), [](const auto& adapter) {
    return adapter.loopback && !adapter.addresses.empty();
  });
  ASSERT_NE(loopback, adapters.end()) << "no loopback adapter with an address";
  UdpSocket socket;
  socket.BindToInterface(*loopback);
  test::Peer peer;
  const uint8_t hello[4] = {0, 1, 0, 1};
  ASSERT_EQ(socket.SendTo(hello, sizeof hello, 0x7F000001, 5266), 4);
  uint32_t address = 0;
  uint16_t port = 0;
  EXPECT_EQ(peer.Receive(address, port), (Bytes{0, 1, 0, 1}));
  ASSERT_EQ(port, socket.LocalPort());
  peer.SendTo({9, 8, 7}, 0x7F000001, port);
  ASSERT_TRUE(socket.WaitReadable(2000));
  uint8_t buffer[kMaxDatagram];
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), 3);
  EXPECT_EQ(port, 5266);

#ifndef _WIN32
  // An adapter the system does not have cannot be used, and says which. (Windows refuses the
  // bind to an address no adapter holds too, but wine lets it pass: tested here alone.)
  NetworkInterface missing;
  missing.name = "qor-none";
  missing.addresses = {{"qor-none", 0xC0000263, 0xFFFFFF00}};  // 192.0.2.99, not ours
  UdpSocket other;
  try {
    other.BindToInterface(missing);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& error) {
    EXPECT_TRUE(error.Message().starts_with("Cannot use adapter \"qor-none\": "))
        << error.Message();
  }
#endif
}

TEST(UdpSocketTest, ADatagramLongerThanTheBufferIsReportedAndLost) {
  UdpSocket socket;
  test::Peer peer;
  const uint16_t local = Introduce(socket, peer);
  peer.SendTo(Bytes(1201, 0xAA), 0x7F000001, local);
  peer.SendTo(Bytes(1200, 0xBB), 0x7F000001, local);
  ASSERT_TRUE(socket.WaitReadable(2000));
  uint8_t buffer[kMaxDatagram];
  uint32_t address = 0;
  uint16_t port = 0;
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), -1);
  EXPECT_EQ(socket.LastError(), wsa::kMessageSize);
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), 1200);
  EXPECT_EQ(buffer[1199], 0xBB);
}

TEST(UdpSocketTest, BatchesTakeAndSendManyDatagramsAtOnce) {
  UdpSocket socket;
  test::Peer peer;
  const uint16_t local = Introduce(socket, peer);
  peer.SendTo(Bytes(10, 0x11), 0x7F000001, local);
  peer.SendTo(Bytes(1201, 0xAA), 0x7F000001, local);  // does not fit its slot
  peer.SendTo(Bytes(1200, 0xBB), 0x7F000001, local);
  ASSERT_TRUE(socket.WaitReadable(2000));
  std::vector<uint8_t> buffers(4 * kMaxDatagram);
  ReceiveSlot slots[4];
  for (size_t i = 0; i < 4; ++i) slots[i] = {buffers.data() + i * kMaxDatagram, kMaxDatagram};
  // All three wait, so one call takes them where the system batches; the long one is reported
  // in its own slot, and where datagrams come one at a time the batch ends after it.
  const int taken = socket.ReceiveBatch(slots, 4);
  ASSERT_TRUE(taken == 3 || taken == 2) << taken;
  if (taken == 2) {
    ASSERT_EQ(socket.ReceiveBatch(slots + 2, 2), 1);
  }
  EXPECT_EQ(slots[0].length, 10);
  EXPECT_EQ(slots[0].port, 5266);
  EXPECT_EQ(slots[0].address >> 24, 127u);
  EXPECT_EQ(slots[1].length, -1);
  EXPECT_EQ(slots[2].length, 1200);
  EXPECT_EQ(slots[2].buffer[1199], 0xBB);
  EXPECT_EQ(socket.ReceiveBatch(slots, 4), -1);
  EXPECT_EQ(socket.LastError(), wsa::kWouldBlock);

  // Waiting: a datagram already there comes at once; none within the bound is "would block",
  // and the calls that must not wait still do not.
  peer.SendTo(Bytes(3, 7), 0x7F000001, local);
  EXPECT_EQ(socket.ReceiveBatchWaiting(slots, 4, 2000), 1);
  EXPECT_EQ(slots[0].length, 3);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(socket.ReceiveBatchWaiting(slots, 4, 30), -1);
  EXPECT_EQ(socket.LastError(), wsa::kWouldBlock);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
  uint8_t buffer[kMaxDatagram];
  uint32_t from = 0;
  uint16_t fromPort = 0;
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, from, fromPort), -1);
  EXPECT_EQ(socket.ReceiveBatch(slots, 4), -1);

  // Sent in order; a datagram for 0.0.0.0 is refused as SendTo refuses it, after the others.
  const Bytes first(5, 1), second(7, 2);
  const SendSlot sends[] = {{first.data(), first.size(), 0x7F000001, 5266},
                            {second.data(), second.size(), 0x7F000001, 5266},
                            {first.data(), first.size(), 0, 5266}};
  EXPECT_EQ(socket.SendBatch(sends, 3), 2);
  uint32_t address = 0;
  uint16_t port = 0;
  EXPECT_EQ(peer.Receive(address, port), first);
  EXPECT_EQ(peer.Receive(address, port), second);
  EXPECT_EQ(socket.SendBatch(sends + 2, 1), -1);
  EXPECT_EQ(socket.LastError(), wsa::kAddressNotAvailable);
  EXPECT_GE(socket.NativeHandle(), 0);
  socket.Close();
  EXPECT_EQ(socket.NativeHandle(), -1);
  EXPECT_EQ(socket.ReceiveBatch(slots, 4), -1);
  EXPECT_EQ(socket.LastError(), wsa::kNotSocket);
}

TEST(UdpSocketTest, ErrorsCarryWindowsSocketsCodes) {
  TargetNetwork network;
  const Bytes huge(70000, 0);
  try {
    network.Send(huge.data(), huge.size(), nullptr);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Failed sendto: message too large");
  }

  // A target without an address: refused as Winsock refuses it, never sent to this host.
  Target unassigned;
  try {
    network.SendRestartRequest(unassigned, 1);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Failed sendto: unassignable address");
  }

  UdpSocket socket;
  socket.Close();
  const uint8_t message[4] = {0, 1, 0, 1};
  EXPECT_EQ(socket.SendTo(message, 4, 0x7F000001, 5266), -1);
  EXPECT_EQ(socket.LastError(), wsa::kNotSocket);
  EXPECT_FALSE(socket.WaitReadable(0));
  socket.Close();  // twice is harmless
}

TEST(UdpSocketTest, OpeningFailureNamesTheStep) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' own checks need free descriptors, which this test takes away.
  GTEST_SKIP() << "not under the sanitizers";
#elif defined(_WIN32)
  GTEST_SKIP() << "Windows has no limit on open handles to lower";
#else
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  std::string message;
  try {
    UdpSocket socket;
  } catch (const Exception& error) {
    message = error.Message();
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(message, "Failed to create socket: too many open files");
#endif
}

// Thousands of targets answer one broadcast at once; the queue must hold them all until the
// next poll.
TEST(UdpSocketTest, HoldsThousandsOfAnswersToOneBroadcast) {
  UdpSocket socket;
  if (socket.ReceiveBufferSize() < UdpSocket::kWantedReceiveBuffer) {
    GTEST_SKIP() << "the system grants only " << socket.ReceiveBufferSize()
                 << " bytes (net.core.rmem_max); forcing more needs CAP_NET_ADMIN";
  }
  test::Peer peer;
  const uint16_t local = Introduce(socket, peer);
  constexpr int kAnswers = 8000;
  for (int i = 0; i < kAnswers; ++i)
    peer.SendTo(Bytes(24, static_cast<uint8_t>(i)), 0x7F000001, local);
  int received = 0;
  uint8_t buffer[kMaxDatagram];
  uint32_t address = 0;
  uint16_t port = 0;
  while (socket.ReceiveFrom(buffer, sizeof buffer, address, port) == 24) ++received;
  EXPECT_EQ(received, kAnswers);
  RecordProperty("receive_buffer_bytes", socket.ReceiveBufferSize());
}

// A receive spins while that brings answers. After each spin that found nothing, twice as many
// waits as the last time (up to a bound) sleep at once: a peer on the same core could not answer
// meanwhile. One that answers within a spin again makes every wait spin.
TEST(ReceiveSpinTest, SpinsLessOftenWhileItDoesNotPay) {
  ReceiveSpin spin;
  int tries = 0;
  EXPECT_TRUE(spin.BeforeSleeping([&] { return ++tries == 1; }));
  EXPECT_EQ(tries, 1);

  // Which of the next waits spin while nothing answers: 0, 2, 5, 10, ... then every 65th.
  std::vector<int> spun;
  for (int wait = 0; wait < 300; ++wait) {
    tries = 0;
    EXPECT_FALSE(spin.BeforeSleeping([&] { return ++tries < 0; }));
    if (tries > 0) spun.push_back(wait);
  }
  const std::vector<int> expected = {0, 2, 5, 10, 19, 36, 69, 134, 199, 264};
  EXPECT_EQ(spun, expected);

  // The waits up to 329 (264 and 65) sleep at once; there a spin pays, and every wait spins again.
  int wait = 300;
  while (!spin.BeforeSleeping([] { return true; })) ++wait;
  EXPECT_EQ(wait, 329);
  tries = 0;
  for (int more = 0; more < 3; ++more) {
    EXPECT_TRUE(spin.BeforeSleeping([&] { return ++tries > 0; }));
  }
  EXPECT_EQ(tries, 3);

  // A spin finds nothing, so the next wait would sleep at once; but the sleep ended within a
  // spin's time (a transfer began): the next wait spins again. Tried a few times, as a busy
  // machine may hold this thread past that time between the two calls.
  bool spunAgain = false;
  for (int attempt = 0; attempt < 5 && !spunAgain; ++attempt) {
    EXPECT_FALSE(spin.BeforeSleeping([] { return false; }));
    spin.Woke();
    spunAgain = spin.BeforeSleeping([] { return true; });
  }
  EXPECT_TRUE(spunAgain);
}

// The simulator's side: it learns where each datagram was sent, takes and sends them in batches,
// and a wait ends when interrupted.
TEST(ListeningUdpSocketTest, LearnsEachDestinationAndIsInterruptible) {
  ListeningUdpSocket listener(64);
  listener.Open(0, 5266);
  EXPECT_EQ(listener.Receive(/*wait=*/false), 0);
  EXPECT_EQ(listener.WaitReadable(10), ListeningUdpSocket::Wait::kTimedOut);

  UdpSocket socket;
  const uint8_t hello[3] = {1, 2, 3};
  ASSERT_EQ(socket.SendTo(hello, sizeof hello, 0x7F00000A, 5266), 3);
  ASSERT_EQ(socket.SendTo(hello, 2, 0xFFFFFFFF, 5266), 2);
  std::vector<ListeningUdpSocket::Datagram> received;
  while (received.size() < 2 &&
         listener.WaitReadable(2000) == ListeningUdpSocket::Wait::kReadable) {
    const int taken = listener.Receive(/*wait=*/false);
    for (int i = 0; i < taken; ++i) received.push_back(listener.Received(i));
  }
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].length, 3u);
  EXPECT_EQ(received[0].destination, 0x7F00000Au);
  EXPECT_EQ(received[0].source >> 24, 127u);
  EXPECT_NE(received[0].sourcePort, 0);
  EXPECT_EQ(received[1].length, 2u);
  EXPECT_EQ(received[1].destination, 0xFFFFFFFFu);

  // Answers reach the sender in order, in one batch; one too long for the capacity is known for
  // what it is.
  const std::vector<ListeningUdpSocket::Outgoing> answers = {
      {{hello, 3}, 0x7F00000A, received[0].source, received[0].sourcePort},
      {{hello, 1}, 0, received[0].source, received[0].sourcePort}};
  int error = -1;
  EXPECT_EQ(listener.Send(answers, error), 2);
  EXPECT_EQ(error, 0);
  uint8_t buffer[256];
  uint32_t address = 0;
  uint16_t port = 0;
  for (const size_t length : {3u, 1u}) {
    ASSERT_TRUE(socket.WaitReadable(2000));
    EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), static_cast<int>(length));
    EXPECT_EQ(port, 5266);
  }
  const Bytes big(100, 7);
  ASSERT_EQ(socket.SendTo(big.data(), big.size(), 0x7F000001, 5266), 100);
  ASSERT_EQ(listener.Receive(/*wait=*/true), 1);
  EXPECT_GT(listener.Received(0).length, 64u);
  EXPECT_EQ(listener.Received(0).bytes.size(), 64u);

  // An interruption ends this wait and every later one, even on a busy socket.
  ASSERT_EQ(socket.SendTo(hello, 3, 0x7F000001, 5266), 3);
  listener.Interrupt();
  EXPECT_EQ(listener.WaitReadable(2000), ListeningUdpSocket::Wait::kInterrupted);
  EXPECT_EQ(listener.WaitReadable(2000), ListeningUdpSocket::Wait::kInterrupted);

  // The port is taken now.
  ListeningUdpSocket second(64);
  try {
    second.Open(0, 5266);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot listen on 0.0.0.0:5266: address already in use");
  }
  listener.Close();
  EXPECT_EQ(listener.Send(answers, error), 0);
  EXPECT_EQ(error, wsa::kNotSocket);
}

}  // namespace
}  // namespace qor
