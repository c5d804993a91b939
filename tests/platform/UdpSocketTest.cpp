// Real sockets: runs inside its own network namespace (scripts/netns-run).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/ListeningUdpSocket.h"
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

// The simulator's side: it learns where each datagram was sent, and a wait ends on a wake.
TEST(ListeningUdpSocketTest, LearnsEachDestinationAndWakesOnRequest) {
  ListeningUdpSocket listener;
  listener.Open(0, 5266);
  uint8_t buffer[64];
  EXPECT_FALSE(listener.Receive(buffer, sizeof buffer).has_value());
  EXPECT_EQ(listener.WaitReadable(10), ListeningUdpSocket::Wait::kTimedOut);

  UdpSocket socket;
  const uint8_t hello[3] = {1, 2, 3};
  ASSERT_EQ(socket.SendTo(hello, sizeof hello, 0x7F00000A, 5266), 3);
  ASSERT_EQ(socket.SendTo(hello, 2, 0xFFFFFFFF, 5266), 2);
  std::vector<ListeningUdpSocket::Datagram> received;
  while (received.size() < 2 &&
         listener.WaitReadable(2000) == ListeningUdpSocket::Wait::kReadable) {
    while (const auto datagram = listener.Receive(buffer, sizeof buffer)) {
      received.push_back(*datagram);
    }
  }
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].length, 3u);
  EXPECT_EQ(received[0].destination, 0x7F00000Au);
  EXPECT_EQ(received[0].source >> 24, 127u);
  EXPECT_NE(received[0].sourcePort, 0);
  EXPECT_EQ(received[1].length, 2u);
  EXPECT_EQ(received[1].destination, 0xFFFFFFFFu);

  // An answer reaches the sender; one too long for the buffer is known for what it is.
  EXPECT_EQ(listener.Send(hello, 3, 0x7F00000A, received[0].source, received[0].sourcePort), 0);
  ASSERT_TRUE(socket.WaitReadable(2000));
  uint32_t address = 0;
  uint16_t port = 0;
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, address, port), 3);
  EXPECT_EQ(port, 5266);
  const Bytes big(100, 7);
  ASSERT_EQ(socket.SendTo(big.data(), big.size(), 0x7F000001, 5266), 100);
  ASSERT_EQ(listener.WaitReadable(2000), ListeningUdpSocket::Wait::kReadable);
  const auto oversized = listener.Receive(buffer, sizeof buffer);
  ASSERT_TRUE(oversized.has_value());
  EXPECT_GT(oversized->length, sizeof buffer);

  // A wake waits for the next wait, and a busy socket does not keep it waiting.
  ASSERT_EQ(socket.SendTo(hello, 3, 0x7F000001, 5266), 3);
  listener.Wake();
  EXPECT_EQ(listener.WaitReadable(2000), ListeningUdpSocket::Wait::kWoken);
  EXPECT_EQ(listener.WaitReadable(2000), ListeningUdpSocket::Wait::kReadable);

  // The port is taken now.
  ListeningUdpSocket second;
  try {
    second.Open(0, 5266);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot listen on 0.0.0.0:5266: address already in use");
  }
  listener.Close();
  EXPECT_EQ(listener.Send(hello, 3, 0, 0x7F000001, 5266), wsa::kNotSocket);
}

}  // namespace
}  // namespace qor
