// The simulated targets without sockets: request bytes in, trace records and replies out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/Crc32.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "tools/qor-sim/SimModel.h"

namespace qor::sim {
namespace {

using Bytes = std::vector<uint8_t>;

const MacAddress kFirst{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
const MacAddress kSecond{{0x02, 0x00, 0x00, 0x00, 0x00, 0x02}};
constexpr uint32_t kFirstAddress = 0x7F00000A;
constexpr uint32_t kSecondAddress = 0x7F00000B;
constexpr uint32_t kHost = 0x7F000001;
constexpr uint16_t kHostPort = 40000;

Bytes Truncated(Bytes bytes, size_t length) {
  bytes.resize(length);
  return bytes;
}

class SimModelTest : public testing::Test {
 protected:
  static SimOptions Options(uint32_t targets = 1) {
    SimOptions options;
    options.targets = targets;
    return options;
  }

  void Make(const SimOptions& options) { model = std::make_unique<SimModel>(options); }

  // What the model makes of bytes sent from the host to `to`; `length` as sent, when the
  // socket kept only part of them.
  SimOutput Send(const Bytes& bytes, uint32_t to = kFirstAddress, size_t length = 0) {
    SimDatagram datagram;
    datagram.bytes = bytes;
    datagram.length = length != 0 ? length : bytes.size();
    datagram.source = kHost;
    datagram.sourcePort = kHostPort;
    datagram.destination = to;
    datagram.timeMs = 7;
    SimOutput output;
    model->Handle(datagram, output);
    return output;
  }

  // The one FinalReply that request got, decoded.
  wire::FinalReply Final(const Bytes& request, uint32_t to = kFirstAddress) {
    const SimOutput output = Send(request, to);
    EXPECT_EQ(output.replies.size(), 1u);
    if (output.replies.empty()) return {.status = 0xDEAD};
    const auto reply = wire::FinalReply::Decode(output.replies.back().bytes);
    EXPECT_TRUE(reply);
    return reply.value_or(wire::FinalReply{.status = 0xDEAD});
  }
  uint32_t Status(const Bytes& request) { return Final(request).status; }

  // Stages bytes at offset 0 and writes them to address: the status of the WriteRequest.
  uint32_t Flash(uint32_t address, const Bytes& bytes, uint32_t crc) {
    EXPECT_EQ(Status(wire::DataRequest{.mac = kFirst, .requestId = 1, .data = bytes}.Encode()),
              kStatusOk);
    const wire::WriteRequest write{.mac = kFirst,
                                   .requestId = 2,
                                   .address = address,
                                   .length = static_cast<uint32_t>(bytes.size()),
                                   .crc = crc};
    return Status(write.Encode());
  }

  std::unique_ptr<SimModel> model;
};

TEST_F(SimModelTest, EveryTargetAnswersADiscoveryFromItsOwnAddress) {
  SimOptions options = Options(3);
  options.unassigned = 1;
  Make(options);
  const SimOutput output = Send(wire::DiscoverRequest{}.Encode(), 0xFFFFFFFF);
  ASSERT_EQ(output.records.size(), 1u);
  EXPECT_EQ(output.records[0].type, kDiscoverRequest);
  EXPECT_EQ(output.records[0].event, "handled");
  EXPECT_EQ(output.records[0].localAddress, 0xFFFFFFFFu);

  ASSERT_EQ(output.replies.size(), 3u);
  const uint32_t addresses[] = {kFirstAddress, kSecondAddress, 0};
  for (size_t i = 0; i < 3; ++i) {
    const SimReply& reply = output.replies[i];
    const auto decoded = wire::DiscoverReply::Decode(reply.bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->mac.bytes[5], i + 1);
    EXPECT_EQ(decoded->ipAddress, addresses[i]);
    EXPECT_EQ(decoded->vendorId, 0x1234);
    EXPECT_EQ(decoded->productId, 0x0001);
    EXPECT_EQ(decoded->stagingSize, 0x100000u);
    EXPECT_EQ(reply.source, addresses[i]);
    EXPECT_EQ(reply.destination, kHost);
    EXPECT_EQ(reply.destinationPort, kHostPort);
    EXPECT_EQ(reply.record.type, kDiscoverReply);
    EXPECT_FALSE(reply.record.incoming);
    EXPECT_EQ(reply.record.length, 24u);
  }
}

TEST_F(SimModelTest, ADiscoverySentToOneTargetsAddressIsAnsweredByItAlone) {
  Make(Options(3));
  struct Row {
    const char* what;
    uint32_t to;
    std::vector<uint8_t> answering;  // last MAC bytes
  };
  const std::vector<Row> rows = {
      {"the limited broadcast", 0xFFFFFFFF, {1, 2, 3}},
      {"loopback's broadcast", 0x7FFFFFFF, {1, 2, 3}},
      {"the second target's address", kSecondAddress, {2}},
      {"the host's own address", kHost, {1, 2, 3}},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> answering;
    for (const SimReply& reply : Send(wire::DiscoverRequest{}.Encode(), row.to).replies) {
      answering.push_back(reply.record.mac->bytes[5]);
    }
    EXPECT_EQ(answering, row.answering) << row.what;
  }
}

TEST_F(SimModelTest, ATargetMayHoldAnAddressOfThisMachinesOwnAdapters) {
  SimOptions options = Options(2);
  options.firstAddress = 0x0A47040A;  // 10.71.4.10, as in a namespace standing for a far LAN
  EXPECT_THROW(SimModel{options}, Exception);
  options.localAddresses = {0x0A470402, 0x0A47040A, 0x0A47040B, 0x0A470414};
  Make(options);
  EXPECT_EQ(model->FindTarget(kSecond)->ipAddress, 0x0A47040Bu);
  EXPECT_EQ(model->Environment(kSecond).at("ipaddr"), "10.71.4.11");
  const auto assign = [&](uint32_t address) {
    return Send(wire::AssignAddressRequest{.mac = kFirst, .ipAddress = address}.Encode(),
                0x0A4704FF);
  };
  EXPECT_EQ(assign(0x0A470415).records.at(0).reason, "not a 127.x.y.z address");
  EXPECT_EQ(assign(0x0A470414).records.at(0).event, "handled");
  EXPECT_EQ(model->FindTarget(kFirst)->ipAddress, 0x0A470414u);
  const Bytes restart = wire::RestartRequest{.mac = kFirst, .requestId = 5}.Encode();
  EXPECT_EQ(Final(restart, 0x0A470414).status, kStatusOk);

  // Only the addresses targets get count: the last one starting unassigned needs none.
  options.targets = 3;
  options.unassigned = 1;
  EXPECT_EQ(SimModel{options}.FindTarget({{0x02, 0, 0, 0, 0, 0x03}})->ipAddress, 0u);
  options.unassigned = 0;
  EXPECT_THROW(SimModel{options}, Exception);  // 10.71.4.12 is not this machine's
}

TEST_F(SimModelTest, RequestsThatNoTargetShouldActOnAreIgnoredWithTheirReason) {
  Make(Options(2));
  const Bytes restart = wire::RestartRequest{.mac = kFirst, .requestId = 5}.Encode();
  Bytes version2 = restart;
  version2[1] = 2;
  Bytes typeSix = wire::RequestIdHeader{.header = {.type = 6, .mac = kFirst}}.Encode();
  const wire::AssignAddressRequest assign{.mac = kFirst, .ipAddress = 0xC0000201};  // 192.0.2.1
  struct Row {
    const char* reason;
    Bytes bytes;
    uint32_t to = kFirstAddress;
    size_t length = 0;
  };
  const std::vector<Row> rows = {
      {"longer than any request", Bytes(2048, 0x00), kFirstAddress, 3000},
      {"too short for a header", {0x00, 0x01, 0x00}},
      {"version is not 1", version2},
      {"not a request", wire::FinalReply{.mac = kFirst, .requestId = 5}.Encode()},
      {"too short for a MAC", Truncated(restart, 11)},
      {"no target has this MAC", wire::RestartRequest{.mac = {{9, 9, 9, 9, 9, 9}}}.Encode()},
      {"too short for an address", Truncated(assign.Encode(), 15)},
      {"not a 127.x.y.z address", assign.Encode(), 0xFFFFFFFF},
      {"unknown request type", typeSix},
      {"not sent to the target's address", restart, kSecondAddress},
      {"too short for a requestId", Truncated(restart, 15)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reason);
    const SimOutput output = Send(row.bytes, row.to, row.length);
    EXPECT_TRUE(output.replies.empty());
    ASSERT_EQ(output.records.size(), 1u);
    EXPECT_EQ(output.records[0].event, "ignored");
    EXPECT_EQ(output.records[0].reason, row.reason);
    EXPECT_EQ(output.records[0].length, row.length != 0 ? row.length : row.bytes.size());
  }
  EXPECT_EQ(model->FindTarget(kFirst)->restarts, 0u);
  EXPECT_EQ(model->FindTarget(kFirst)->ipAddress, kFirstAddress);
}

TEST_F(SimModelTest, AnAssignedAddressIsWhereTheTargetTakesRequestsFromThenOn) {
  Make(Options(1));
  const auto assign = [&](uint32_t address) {
    return Send(wire::AssignAddressRequest{.mac = kFirst, .ipAddress = address}.Encode(),
                0xFFFFFFFF);
  };
  const SimOutput taken = assign(0x7F00002A);
  EXPECT_TRUE(taken.replies.empty());  // nothing is awaited
  ASSERT_EQ(taken.records.size(), 1u);
  EXPECT_EQ(taken.records[0].event, "handled");
  EXPECT_EQ(model->FindTarget(kFirst)->ipAddress, 0x7F00002Au);

  const Bytes restart = wire::RestartRequest{.mac = kFirst, .requestId = 5}.Encode();
  EXPECT_EQ(Send(restart, kFirstAddress).records.at(0).reason, "not sent to the target's address");
  EXPECT_EQ(Final(restart, 0x7F00002A).status, kStatusOk);
  EXPECT_EQ(model->FindTarget(kFirst)->restarts, 1u);

  // Without an address, no request reaches it.
  assign(0);
  EXPECT_EQ(model->FindTarget(kFirst)->ipAddress, 0u);
  EXPECT_EQ(Send(restart, 0).records.at(0).reason, "not sent to the target's address");
}

TEST_F(SimModelTest, RequestsTooShortOrOutOfBoundsFailWithTheirStatus) {
  SimOptions options = Options(1);
  options.stagingSize = 2048;
  Make(options);
  const Bytes kilobyte(1024, 0x11);
  const auto write = [](uint32_t address, uint32_t length) {
    return wire::WriteRequest{.mac = kFirst, .requestId = 9, .address = address, .length = length}
        .Encode();
  };
  const auto read = [](uint32_t address, uint32_t length) {
    return wire::ReadRequest{.mac = kFirst, .requestId = 9, .address = address, .length = length}
        .Encode();
  };
  struct Row {
    const char* what;
    Bytes request;
    uint32_t status;
  };
  const std::vector<Row> rows = {
      {"data request without data",
       Truncated(wire::DataRequest{.mac = kFirst, .requestId = 9, .data = {1}}.Encode(), 20),
       kStatusBadLength},
      {"short fill", Truncated(wire::FillRequest{.mac = kFirst, .requestId = 9}.Encode(), 23),
       kStatusBadLength},
      {"short write", Truncated(write(0, 0), 27), kStatusBadLength},
      {"short read", Truncated(read(0, 4), 23), kStatusBadLength},
      {"read over 1024 bytes", read(0, 1025), kStatusBadLength},
      {"fill beyond staging",
       wire::FillRequest{.mac = kFirst, .requestId = 9, .length = 2049}.Encode(),
       kStatusOutOfRange},
      {"data beyond staging",
       wire::DataRequest{.mac = kFirst, .requestId = 9, .offset = 1025, .data = kilobyte}.Encode(),
       kStatusOutOfRange},
      {"write more than staging", write(0, 2049), kStatusOutOfRange},
      {"write past 4 GiB", write(0xFFFFFC00, 2048), kStatusOutOfRange},
      {"read past 4 GiB", read(0xFFFFFFFF, 2), kStatusOutOfRange},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const wire::FinalReply reply = Final(row.request);
    EXPECT_EQ(reply.status, row.status);
    EXPECT_EQ(reply.requestId, 9u);
    EXPECT_TRUE(reply.payload.empty());
  }
}

TEST_F(SimModelTest, AWriteEndingAtTheTopOfTheAddressSpaceReadsBackWithErasedBytesAround) {
  SimOptions options = Options(1);
  options.progressReplies = 4;
  Make(options);
  Bytes image(1024);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(Status(wire::DataRequest{.mac = kFirst, .requestId = 1, .data = image}.Encode()),
            kStatusOk);

  // ProgressReplies first, then the FinalReply, all for the write's requestId.
  const wire::WriteRequest write{.mac = kFirst,
                                 .requestId = 77,
                                 .address = 0xFFFFFC00,
                                 .length = 1024,
                                 .crc = Crc32(std::span<const uint8_t>(image))};
  const SimOutput output = Send(write.Encode());
  ASSERT_EQ(output.replies.size(), 5u);
  std::vector<uint32_t> progress;
  for (size_t i = 0; i < 4; ++i) {
    const auto reply = wire::ProgressReply::Decode(output.replies[i].bytes);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->requestId, 77u);
    EXPECT_EQ(output.replies[i].record.status, reply->value);
    progress.push_back(reply->value);
  }
  EXPECT_EQ(progress, (std::vector<uint32_t>{0xFFFFFC00, 0xFFFFFD00, 0xFFFFFE00, 0xFFFFFF00}));
  const auto final = wire::FinalReply::Decode(output.replies[4].bytes);
  ASSERT_TRUE(final);
  EXPECT_EQ(final->requestId, 77u);
  EXPECT_EQ(final->status, kStatusOk);
  EXPECT_EQ(model->ReadMemory(kFirst, 0xFFFFFC00, 1024), image);
  // The model's own reads stop at the end of the address space.
  EXPECT_EQ(model->ReadMemory(kFirst, 0xFFFFFFFE, 100), (Bytes{image[1022], image[1023]}));

  // A read that begins in memory never written.
  const wire::FinalReply read =
      Final(wire::ReadRequest{.mac = kFirst, .requestId = 78, .address = 0xFFFFFA00, .length = 1024}
                .Encode());
  EXPECT_EQ(read.status, kStatusOk);
  Bytes expected(1024, 0xFF);
  std::copy_n(image.begin(), 512, expected.begin() + 512);
  EXPECT_EQ(read.payload, expected);
}

TEST_F(SimModelTest, AWriteWithTheWrongCrcLeavesMemoryAsItWas) {
  SimOptions options = Options(1);
  options.progressReplies = 3;
  Make(options);
  const Bytes staged(64, 0x22);
  const Bytes other(64, 0x33);
  // Refused before any work: a FinalReply alone, no ProgressReplies.
  EXPECT_EQ(Flash(0x1000, staged, Crc32(std::span<const uint8_t>(other))), kStatusBadCrc);
  EXPECT_EQ(model->ReadMemory(kFirst, 0x1000, 64), Bytes(64, 0xFF));

  // The staged bytes stay: the right CRC writes them.
  const wire::WriteRequest write{.mac = kFirst,
                                 .requestId = 3,
                                 .address = 0x1000,
                                 .length = 64,
                                 .crc = Crc32(std::span<const uint8_t>(staged))};
  const SimOutput output = Send(write.Encode());
  ASSERT_EQ(output.replies.size(), 4u);
  EXPECT_EQ(wire::FinalReply::Decode(output.replies.back().bytes)->status, kStatusOk);
  EXPECT_EQ(model->ReadMemory(kFirst, 0x1000, 64), staged);
}

TEST_F(SimModelTest, InjectedFailuresAndLostRepliesAreOnlyForTheTypesAsked) {
  SimOptions options = Options(1);
  options.failures[kRestartRequest] = 9;
  options.failures[kFillRequest] = kStatusInjected;
  options.lossRate = 1.0;
  options.lossTypes = {kDataRequest};
  Make(options);

  EXPECT_EQ(Status(wire::RestartRequest{.mac = kFirst, .requestId = 3}.Encode()), 9u);
  EXPECT_EQ(model->FindTarget(kFirst)->restarts, 0u);
  EXPECT_EQ(Status(wire::FillRequest{.mac = kFirst, .requestId = 4, .length = 16}.Encode()), 0xFFu);

  // The data reply is lost, but the data arrived: a write of it succeeds.
  const SimOutput data =
      Send(wire::DataRequest{.mac = kFirst, .requestId = 5, .data = {0x42}}.Encode());
  EXPECT_TRUE(data.replies.empty());
  ASSERT_EQ(data.records.size(), 2u);
  EXPECT_EQ(data.records[0].event, "handled");
  EXPECT_EQ(data.records[1].event, "lost");
  EXPECT_EQ(data.records[1].reason, "simulated loss");
  EXPECT_EQ(data.records[1].type, kFinalReply);
  EXPECT_EQ(data.records[1].requestId, 5u);
  const Bytes one = {0x42};
  const wire::WriteRequest write{
      .mac = kFirst, .requestId = 6, .address = 0x40, .length = 1, .crc = Crc32(1, one.data())};
  EXPECT_EQ(Status(write.Encode()), kStatusOk);
  EXPECT_EQ(model->ReadMemory(kFirst, 0x40, 1), one);
}

TEST_F(SimModelTest, LostRepliesFollowTheSeed) {
  const auto lost = [this](uint32_t seed) {
    SimOptions options = Options(1);
    options.lossRate = 0.5;
    options.seed = seed;
    Make(options);
    std::vector<bool> lost;
    for (uint32_t id = 0; id < 200; ++id) {
      lost.push_back(
          Send(wire::RestartRequest{.mac = kFirst, .requestId = id}.Encode()).replies.empty());
    }
    return lost;
  };
  const std::vector<bool> first = lost(7);
  EXPECT_EQ(first, lost(7));
  EXPECT_NE(first, lost(8));
  const auto count = std::count(first.begin(), first.end(), true);
  EXPECT_GT(count, 60);
  EXPECT_LT(count, 140);
}

TEST_F(SimModelTest, TargetsStartWithAValidEnvironmentAndOnlyLoopbackAddresses) {
  SimOptions options = Options(2);
  options.environment["bootcmd"] = "run net";
  Make(options);
  const auto variables = model->Environment(kSecond);
  EXPECT_EQ(variables.at("ipaddr"), "127.0.0.11");
  EXPECT_EQ(variables.at("serial"), "SIM00002");
  EXPECT_EQ(variables.at("bootcmd"), "run net");
  EXPECT_THROW(static_cast<void>(model->ReadMemory({{9, 9, 9, 9, 9, 9}}, 0, 1)), Exception);

  options.firstAddress = 0xC0A80001;  // 192.168.0.1
  EXPECT_THROW(SimModel{options}, Exception);
  options.firstAddress = 0x7FFFFFFF;  // the second would be 128.0.0.0
  EXPECT_THROW(SimModel{options}, Exception);
  options.firstAddress = 0;
  EXPECT_EQ(SimModel{options}.FindTarget(kSecond)->ipAddress, 0u);
}

}  // namespace
}  // namespace qor::sim
