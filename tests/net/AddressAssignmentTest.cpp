#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/AddressAssignment.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/TickCount.h"
#include "tests/common/FakeDatagramSocket.h"

namespace qor::test {
namespace {

constexpr MacAddress kFirst{{0x02, 0, 0, 0, 0, 0x01}};
constexpr MacAddress kSecond{{0x02, 0, 0, 0, 0, 0x02}};
constexpr MacAddress kAbsent{{0x02, 0, 0, 0, 0, 0x09}};
constexpr uint32_t kFirstIp = 0x7F00000A;   // 127.0.0.10
constexpr uint32_t kSecondIp = 0x7F00000B;  // 127.0.0.11
constexpr uint32_t kFreeIp = 0x7F00002A;    // 127.0.0.42

// Two targets behind a fake socket and clock that answer every discovery; an address request
// moves the target it names, unless it is deaf to them.
struct Line {
  FakeTickSource clock{1000};
  ScopedTickSource scoped{clock};
  FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
  std::map<MacAddress, uint32_t> addresses{{kFirst, kFirstIp}, {kSecond, kSecondIp}};
  std::vector<MacAddress> assigned;  // the MAC of every address request sent
  bool deaf = false;

  Line() {
    auto fake = std::make_unique<FakeDatagramSocket>();
    socket = fake.get();
    network = std::make_unique<TargetNetwork>(std::move(fake));
    socket->onSend = [this](const FakeDatagramSocket::Datagram& sent) {
      if (const auto request = wire::AssignAddressRequest::Decode(sent.bytes)) {
        assigned.push_back(request->mac);
        if (!deaf && addresses.count(request->mac) != 0) {
          addresses[request->mac] = request->ipAddress;
        }
        return;
      }
      for (const auto& [mac, ip] : addresses) {
        socket->Deliver(wire::DiscoverReply{.mac = mac, .ipAddress = ip}.Encode());
      }
    };
    socket->onWait = [this](int timeoutMs) {
      if (socket->incoming.empty()) clock.Advance(static_cast<uint32_t>(timeoutMs));
    };
  }
};

TEST(AddressAssignmentTest, GuardsSendAndConfirmAsTheOperatorAsked) {
  struct Row {
    const char* what;
    MacAddress mac;
    uint32_t address;
    bool force;
    bool verify;
    bool deaf;
    bool ok;
    bool sent;
    std::string text;
    std::vector<std::string> notes;
  };
  const std::vector<Row> rows = {
      {"a free address, confirmed",
       kSecond,
       kFreeIp,
       false,
       true,
       false,
       true,
       true,
       "02:00:00:00:00:02 now answers at 127.0.0.42.",
       {}},
      {"a free address, not waited for",
       kSecond,
       kFreeIp,
       false,
       false,
       false,
       true,
       true,
       "Asked 02:00:00:00:00:02 to take the address 127.0.0.42.",
       {}},
      {"no target can hold it",
       kSecond,
       0xFFFFFFFF,
       true,
       true,
       false,
       false,
       false,
       "Cannot give 02:00:00:00:00:02 the address 255.255.255.255: ",
       {}},
      {"another target holds it",
       kSecond,
       kFirstIp,
       false,
       true,
       false,
       false,
       false,
       "02:00:00:00:00:01 already holds 127.0.0.10; --force assigns it all the same.",
       {}},
      {"another holds it, forced",
       kSecond,
       kFirstIp,
       true,
       false,
       false,
       true,
       true,
       "Asked 02:00:00:00:00:02 to take the address 127.0.0.10.",
       {"02:00:00:00:00:01 already holds 127.0.0.10; assigning it all the same (--force)."}},
      {"a MAC that did not answer",
       kAbsent,
       kFreeIp,
       false,
       false,
       false,
       false,
       false,
       "02:00:00:00:00:09 did not answer the discovery; --force sends the address all the "
       "same.",
       {}},
      {"a MAC that did not answer, forced and waited for",
       kAbsent,
       kFreeIp,
       true,
       true,
       false,
       false,
       true,
       "02:00:00:00:00:09 did not answer a discovery within 1000 ms.",
       {"02:00:00:00:00:09 did not answer the discovery; sending the address all the same "
        "(--force)."}},
      {"a target that keeps its address",
       kSecond,
       kFreeIp,
       false,
       true,
       true,
       false,
       true,
       "02:00:00:00:00:02 still reports 127.0.0.11, not 127.0.0.42.",
       {}},
  };
  for (const Row& row : rows) {
    Line line;
    line.deaf = row.deaf;
    std::vector<std::string> notes;
    DiscoveryHooks hooks;
    hooks.note = [&notes](const std::string& text) { notes.push_back(text); };
    AssignmentRequest request;
    request.mac = row.mac;
    request.address = row.address;
    request.force = row.force;
    request.verify = row.verify;
    const AssignmentResult result = AssignAddress(*line.network, request, hooks);
    EXPECT_EQ(result.ok, row.ok) << row.what;
    EXPECT_EQ(result.sent, row.sent) << row.what;
    EXPECT_EQ(result.text.substr(0, row.text.size()), row.text) << row.what;
    EXPECT_EQ(notes, row.notes) << row.what;
    // Refused means nothing went out; sent means exactly one broadcast request.
    EXPECT_EQ(line.assigned,
              row.sent ? std::vector<MacAddress>{row.mac} : std::vector<MacAddress>{})
        << row.what;
  }
}

TEST(AddressAssignmentTest, TheCallersNameForForceIsInItsTexts) {
  Line line;
  AssignmentRequest request;
  request.mac = kSecond;
  request.address = kFirstIp;
  request.forceName = "force=True";
  EXPECT_EQ(AssignAddress(*line.network, request).text,
            "02:00:00:00:00:01 already holds 127.0.0.10; force=True assigns it all the same.");
  EXPECT_EQ(AssignmentProblem(kSecond, kFreeIp), "");
}

}  // namespace
}  // namespace qor::test
