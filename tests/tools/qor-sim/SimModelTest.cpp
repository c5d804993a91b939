// The simulated targets without sockets: request bytes in, trace records and replies out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "net/Crc32.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/Format.h"
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
    datagram.timeMs = now;
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

  // The MACs of the targets that answer a discovery now.
  std::vector<uint8_t> Answering() {
    std::vector<uint8_t> lasts;
    for (const SimReply& reply : Send(wire::DiscoverRequest{}.Encode(), 0xFFFFFFFF).replies) {
      lasts.push_back(wire::DiscoverReply::Decode(reply.bytes)->mac.bytes[5]);
    }
    return lasts;
  }

  std::unique_ptr<SimModel> model;
  uint32_t now = 7;  // ms since the simulator started, as the socket stamps each datagram
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

// The simulator counts the CRC as chunks come in order; however they came, a write checks
// exactly what the staging buffer holds, and writes it.
TEST_F(SimModelTest, AWriteChecksWhatTheStagingBufferHoldsHoweverItsChunksCame) {
  struct Step {
    uint32_t fill = 0;  // a FillRequest for this length, or data at offset
    uint32_t offset = 0;
    Bytes data;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    uint32_t length;  // written
  };
  const auto chunk = [](uint8_t value, size_t count = 1024) { return Bytes(count, value); };
  const std::vector<Row> rows = {
      {"in order, a blank chunk skipped",
       {{4096, 0, {}}, {0, 0, chunk(0x11)}, {0, 2048, chunk(0x22)}},
       4096},
      {"a chunk sent again after a later one",
       {{4096, 0, {}}, {0, 0, chunk(0x11)}, {0, 1024, chunk(0x22)}, {0, 0, chunk(0x33)}},
       2048},
      {"past a shorter fill, where older bytes stay",
       {{4096, 0, {}}, {0, 3072, chunk(0x44)}, {1024, 0, {}}, {0, 0, chunk(0x55)}},
       4096},
      {"shorter than the chunks counted",
       {{4096, 0, {}}, {0, 0, chunk(0x11)}, {0, 1024, chunk(0x22)}},
       1536},
      {"without a fill", {{0, 0, chunk(0x66, 100)}}, 100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Make(Options(1));
    // What the buffer holds, kept apart from the simulator: never written or filled is 0xFF.
    Bytes staged(4096, 0xFF);
    uint32_t id = 1;
    for (const Step& step : row.steps) {
      if (step.fill > 0) {
        ASSERT_EQ(
            Status(
                wire::FillRequest{.mac = kFirst, .requestId = id++, .length = step.fill}.Encode()),
            kStatusOk);
        std::fill_n(staged.begin(), step.fill, 0xFF);
      } else {
        ASSERT_EQ(Status(wire::DataRequest{
                      .mac = kFirst, .requestId = id++, .offset = step.offset, .data = step.data}
                             .Encode()),
                  kStatusOk);
        std::copy(step.data.begin(), step.data.end(), staged.begin() + step.offset);
      }
    }
    staged.resize(row.length);
    const uint32_t crc = Crc32(std::span<const uint8_t>(staged));
    wire::WriteRequest write{
        .mac = kFirst, .requestId = id++, .address = 0x2000, .length = row.length, .crc = crc ^ 1};
    EXPECT_EQ(Status(write.Encode()), kStatusBadCrc);
    write.crc = crc;
    write.requestId = id++;
    EXPECT_EQ(Status(write.Encode()), kStatusOk);
    EXPECT_EQ(model->ReadMemory(kFirst, 0x2000, row.length), staged);
  }
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

// Without a trace to write, the model skips its records, and nothing else: the same requests,
// lost replies and injected failures among them, get the same replies from the same addresses.
TEST_F(SimModelTest, WithoutRecordsEveryReplyIsTheSame) {
  const Bytes requests[] = {
      wire::DiscoverRequest{}.Encode(),
      wire::FillRequest{.mac = kFirst, .requestId = 1, .length = 0x800}.Encode(),
      wire::DataRequest{.mac = kFirst, .requestId = 2, .offset = 0, .data = Bytes(1024, 0x5A)}
          .Encode(),
      wire::DataRequest{.mac = kSecond, .requestId = 3, .offset = 0x400, .data = Bytes(8, 1)}
          .Encode(),
      wire::WriteRequest{.mac = kFirst,
                         .requestId = 4,
                         .address = 0x10000,
                         .length = 1024,
                         .crc = Crc32(Bytes(1024, 0x5A))}
          .Encode(),
      wire::ReadRequest{.mac = kFirst, .requestId = 5, .address = 0x10000, .length = 16}.Encode(),
      wire::RestartRequest{.mac = kSecond, .requestId = 6}.Encode(),
      Truncated(wire::ReadRequest{.mac = kFirst, .requestId = 7}.Encode(), 12),
  };
  SimOptions options = Options(2);
  options.lossRate = 0.3;
  options.failureRate = 0.3;
  options.failures[kReadRequest] = kStatusInjected;
  options.progressReplies = 2;
  std::vector<std::vector<SimReply>> answers[2];
  for (const bool recording : {true, false}) {
    Make(options);
    model->SetRecording(recording);
    for (int round = 0; round < 8; ++round) {
      for (const Bytes& request : requests) {
        const uint32_t to =
            request == requests[3] || request == requests[6] ? kSecondAddress : kFirstAddress;
        const SimOutput output = Send(request, to);
        EXPECT_EQ(output.records.empty(), !recording);
        answers[recording].push_back(output.replies);
      }
    }
  }
  ASSERT_EQ(answers[0].size(), answers[1].size());
  size_t replies = 0;
  for (size_t i = 0; i < answers[0].size(); ++i) {
    ASSERT_EQ(answers[0][i].size(), answers[1][i].size()) << i;
    for (size_t k = 0; k < answers[0][i].size(); ++k) {
      const SimReply& without = answers[0][i][k];
      const SimReply& with = answers[1][i][k];
      EXPECT_EQ(without.bytes, with.bytes) << i;
      EXPECT_EQ(without.source, with.source);
      EXPECT_EQ(without.destination, with.destination);
      EXPECT_EQ(without.destinationPort, with.destinationPort);
      EXPECT_EQ(without.extraDelayMs, with.extraDelayMs);
      EXPECT_TRUE(with.traced);
      EXPECT_FALSE(without.traced) << "the sender would record it";
      ++replies;
    }
  }
  EXPECT_GT(replies, 40u);
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
  options.environment["bootdelay"] = "";  // kept, with its value empty
  Make(options);
  const auto variables = model->Environment(kSecond);
  EXPECT_EQ(variables.at("ipaddr"), "127.0.0.11");
  EXPECT_EQ(variables.at("serial"), "SIM00002");
  EXPECT_EQ(variables.at("bootcmd"), "run net");
  EXPECT_EQ(variables.at("bootdelay"), "");
  EXPECT_THROW(static_cast<void>(model->ReadMemory({{9, 9, 9, 9, 9, 9}}, 0, 1)), Exception);

  options.firstAddress = 0xC0A80001;  // 192.168.0.1
  EXPECT_THROW(SimModel{options}, Exception);
  options.firstAddress = 0x7FFFFFFF;  // the second would be 128.0.0.0
  EXPECT_THROW(SimModel{options}, Exception);
  options.firstAddress = 0;
  EXPECT_EQ(SimModel{options}.FindTarget(kSecond)->ipAddress, 0u);
}

TEST_F(SimModelTest, FailuresComeAtTheirRateAndFollowTheSeed) {
  const auto outcomes = [this](double rate, uint32_t seed) {
    SimOptions options = Options(1);
    options.failures[kRestartRequest] = 9;
    options.failureRate = rate;
    options.seed = seed;
    Make(options);
    std::vector<bool> failed;
    for (uint32_t id = 0; id < 400; ++id) {
      failed.push_back(Status(wire::RestartRequest{.mac = kFirst, .requestId = id}.Encode()) == 9);
    }
    return failed;
  };
  struct Row {
    double rate;
    long least, most;
  };
  for (const Row& row : {Row{0.0, 0, 0}, Row{0.25, 60, 140}, Row{1.0, 400, 400}}) {
    SCOPED_TRACE(row.rate);
    const std::vector<bool> failed = outcomes(row.rate, 5);
    const auto count = std::count(failed.begin(), failed.end(), true);
    EXPECT_GE(count, row.least);
    EXPECT_LE(count, row.most);
    // A failed request is not carried out; the counter tells how many were injected.
    EXPECT_EQ(model->FindTarget(kFirst)->restarts, 400u - count);
    EXPECT_EQ(model->Counters().failuresInjected, static_cast<uint64_t>(count));
  }
  EXPECT_EQ(outcomes(0.25, 5), outcomes(0.25, 5));
  EXPECT_NE(outcomes(0.25, 5), outcomes(0.25, 6));
}

// A target that drops off comes back as it was; one that loses power comes back without what
// its staging buffer held. Either answers nothing meanwhile, discoveries included.
TEST_F(SimModelTest, ATargetThatDropsOffOrLosesPowerIsSilentThenBack) {
  struct Row {
    const char* reason;
    double dropOff, powerCut;
    uint32_t writeStatus;  // of the write of what was staged before the fault
  };
  const Bytes staged(700, 0x5A);
  const uint32_t crc = Crc32(std::span<const uint8_t>(staged));
  for (const Row& row : {Row{"dropped off the network", 0.3, 0, kStatusOk},
                         Row{"power cut", 0, 0.3, kStatusBadCrc}}) {
    SCOPED_TRACE(row.reason);
    SimOptions options = Options(2);
    options.dropOffRate = row.dropOff;
    options.dropOffMs = 400;
    options.powerCutRate = row.powerCut;
    options.powerCutMs = 400;
    Make(options);
    now = 0;
    // Each request until the fault: the staging buffer keeps what the first one put there.
    uint32_t id = 0;
    bool staging = true;
    for (;;) {
      const Bytes request =
          staging ? wire::DataRequest{.mac = kFirst, .requestId = ++id, .data = staged}.Encode()
                  : wire::ReadRequest{.mac = kFirst, .requestId = ++id, .length = 4}.Encode();
      const SimOutput output = Send(request);
      ASSERT_EQ(output.records.size(), 1u);
      if (output.replies.empty()) {
        EXPECT_EQ(output.records[0].event, "ignored");
        EXPECT_EQ(output.records[0].reason, row.reason);
        break;
      }
      staging = false;
      now += 10;
    }
    EXPECT_GT(id, 1u) << "the fault came before anything was staged; try another seed";
    // Silent to the requests of its own address and to discoveries, for up to 400 ms.
    EXPECT_EQ(Answering(), (std::vector<uint8_t>{2}));
    const SimOutput meanwhile =
        Send(wire::ReadRequest{.mac = kFirst, .requestId = 99, .length = 4}.Encode());
    EXPECT_TRUE(meanwhile.replies.empty());
    EXPECT_EQ(meanwhile.records.at(0).reason, row.reason);
    const nlohmann::json silent = nlohmann::json::parse(model->Dump({}, now));
    EXPECT_EQ(silent["targets"][0]["state"], row.reason);
    EXPECT_EQ(silent["targets"][1]["state"], "up");

    now += 400;
    EXPECT_EQ(Answering(), (std::vector<uint8_t>{1, 2}));
    // Faults may strike again at any request: write until one is carried out.
    uint32_t status = 0xDEAD;
    for (int attempt = 0; attempt < 50 && status == 0xDEAD; ++attempt, now += 400) {
      const wire::WriteRequest write{
          .mac = kFirst, .requestId = ++id, .address = 0x3000, .length = 700, .crc = crc};
      const SimOutput output = Send(write.Encode());
      if (!output.replies.empty())
        status = wire::FinalReply::Decode(output.replies[0].bytes)->status;
    }
    EXPECT_EQ(status, row.writeStatus);
    const SimCounters counters = model->Counters();
    EXPECT_GE(row.dropOff > 0 ? counters.dropOffs : counters.powerCuts, 1u);
    EXPECT_EQ(row.dropOff > 0 ? counters.powerCuts : counters.dropOffs, 0u);
    EXPECT_EQ(counters.ignoredWhileSilent, 1u);
  }
}

TEST_F(SimModelTest, RepliesLeaveLateOrTwiceAndReadsComeShortAsAsked) {
  struct Row {
    const char* what;
    double late, duplicate, shortRead;
    size_t replies;
    uint32_t extraDelayMs;
  };
  const std::vector<Row> rows = {
      {"late", 1, 0, 0, 1, 1500},
      {"twice", 0, 1, 0, 2, 0},
      {"short", 0, 0, 1, 1, 0},
  };
  Bytes image(1024);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SimOptions options = Options(1);
    options.lateRate = row.late;
    options.duplicateRate = row.duplicate;
    options.shortReadRate = row.shortRead;
    Make(options);
    model->WriteMemory(kFirst, 0x5000, image);
    std::vector<size_t> lengths;
    for (uint32_t id = 1; id <= 20; ++id) {
      const SimOutput output =
          Send(wire::ReadRequest{.mac = kFirst, .requestId = id, .address = 0x5000, .length = 1024}
                   .Encode());
      ASSERT_EQ(output.replies.size(), row.replies);
      for (const SimReply& reply : output.replies) {
        EXPECT_EQ(reply.extraDelayMs, row.extraDelayMs);
        EXPECT_EQ(reply.bytes, output.replies[0].bytes);
        const auto read = wire::FinalReply::Decode(reply.bytes);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->requestId, id);
        EXPECT_EQ(read->status, kStatusOk);
        // However many bytes came, they are the memory's from the address asked for on.
        ASSERT_GE(read->payload.size(), 1u);
        EXPECT_TRUE(std::equal(read->payload.begin(), read->payload.end(), image.begin()));
      }
      lengths.push_back(wire::FinalReply::Decode(output.replies[0].bytes)->payload.size());
    }
    const bool allWhole =
        std::all_of(lengths.begin(), lengths.end(), [](size_t n) { return n == 1024; });
    EXPECT_EQ(allWhole, row.shortRead == 0);
    const SimCounters counters = model->Counters();
    EXPECT_EQ(counters.lateReplies, row.late > 0 ? 20u : 0u);
    EXPECT_EQ(counters.duplicates, row.duplicate > 0 ? 20u : 0u);
    EXPECT_EQ(counters.shortReads, row.shortRead > 0 ? 20u : 0u);
    // A discovery waits a fixed time: its answers are never late.
    const SimOutput discovery = Send(wire::DiscoverRequest{}.Encode(), 0xFFFFFFFF);
    ASSERT_EQ(discovery.replies.size(), row.replies);
    EXPECT_EQ(discovery.replies[0].extraDelayMs, 0u);
  }
}

TEST_F(SimModelTest, ARestartIsAnsweredThenTheTargetStartsAgainWithoutItsStagingBuffer) {
  SimOptions options = Options(1);
  options.restartMs = 300;
  Make(options);
  now = 1000;
  const Bytes staged(64, 0x33);
  ASSERT_EQ(Status(wire::DataRequest{.mac = kFirst, .requestId = 1, .data = staged}.Encode()),
            kStatusOk);
  EXPECT_EQ(Status(wire::RestartRequest{.mac = kFirst, .requestId = 2}.Encode()), kStatusOk);
  EXPECT_EQ(model->FindTarget(kFirst)->restarts, 1u);

  now += 299;
  EXPECT_TRUE(Answering().empty());
  EXPECT_EQ(Send(wire::RestartRequest{.mac = kFirst, .requestId = 3}.Encode()).records.at(0).reason,
            "restarting");
  now += 1;
  EXPECT_EQ(Answering(), (std::vector<uint8_t>{1}));
  const wire::WriteRequest write{.mac = kFirst,
                                 .requestId = 4,
                                 .address = 0x2000,
                                 .length = 64,
                                 .crc = Crc32(std::span<const uint8_t>(staged))};
  EXPECT_EQ(Status(write.Encode()), kStatusBadCrc);
  EXPECT_EQ(model->ReadMemory(kFirst, 0x2000, 64), Bytes(64, 0xFF));
  EXPECT_EQ(model->Counters().restarts, 1u);
}

TEST_F(SimModelTest, SomeTargetsStartWithADamagedOrABlankBlockAsTheSeedChooses) {
  const auto starts = [this](uint32_t seed) {
    SimOptions options = Options(10);
    options.damagedBlocks = 3;
    options.blankBlocks = 2;
    options.seed = seed;
    Make(options);
    std::string kinds;
    for (uint8_t last = 1; last <= 10; ++last) {
      const MacAddress mac{{0x02, 0x00, 0x00, 0x00, 0x00, last}};
      const Bytes block = model->ReadMemory(mac, 0x00F00000, 0x1000);
      if (block == Bytes(0x1000, 0xFF)) {
        kinds += 'b';
      } else if (model->Environment(mac).empty()) {
        // Damaged in its CRC alone: the entries are still there.
        EXPECT_EQ(std::string(block.begin() + 4, block.begin() + 13), "bootdelay");
        kinds += 'd';
      } else {
        EXPECT_EQ(model->Environment(mac).at("serial"), Format("SIM%05u", last));
        kinds += 'v';
      }
    }
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), 'd'), 3);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), 'b'), 2);
    return kinds;
  };
  EXPECT_EQ(starts(3), starts(3));
  EXPECT_NE(starts(3), starts(4));
}

TEST_F(SimModelTest, TargetsGoSilentForGoodAsTheSeedChooses) {
  const auto gone = [this](uint32_t seed) {
    SimOptions options = Options(10);
    options.vanishing = 3;
    options.vanishWithinMs = 1000;
    options.seed = seed;
    Make(options);
    now = 0;
    EXPECT_EQ(Answering().size(), 10u);
    now = 1000;
    const std::vector<uint8_t> answering = Answering();
    std::vector<uint8_t> silent;
    for (uint8_t last = 1; last <= 10; ++last) {
      if (std::count(answering.begin(), answering.end(), last) == 0) silent.push_back(last);
    }
    EXPECT_EQ(silent.size(), 3u);
    const nlohmann::json dump = nlohmann::json::parse(model->Dump({}, now));
    EXPECT_EQ(dump["counters"]["vanished"], 3);
    for (const uint8_t last : silent) {
      EXPECT_EQ(dump["targets"][last - 1]["state"], "gone silent for good");
    }
    // For good: a day later too.
    now += 86'400'000;
    EXPECT_EQ(Answering(), answering);
    return silent;
  };
  EXPECT_EQ(gone(3), gone(3));
  EXPECT_NE(gone(3), gone(4));
}

// Each target draws its faults from a generator of its own, so the others' traffic, which
// arrives in any order, changes nothing of them.
TEST_F(SimModelTest, ATargetsFaultsFollowItsOwnRequestsAlone) {
  const auto faults = [this](bool otherTraffic) {
    SimOptions options = Options(2);
    options.failures[kReadRequest] = 9;
    options.failureRate = 0.3;
    options.dropOffRate = 0.05;
    options.dropOffMs = 1;
    Make(options);
    std::string seen;
    for (uint32_t id = 0; id < 300; ++id, now += 2) {
      if (otherTraffic) {
        Send(wire::ReadRequest{.mac = kSecond, .requestId = id, .length = 4}.Encode(),
             kSecondAddress);
      }
      const SimOutput output =
          Send(wire::ReadRequest{.mac = kFirst, .requestId = id, .length = 4}.Encode());
      seen += output.replies.empty()
                  ? 'd'
                  : (wire::FinalReply::Decode(output.replies[0].bytes)->status == 9 ? 'f' : '.');
    }
    return seen;
  };
  const std::string alone = faults(false);
  EXPECT_EQ(alone, faults(true));
  EXPECT_NE(alone.find('d'), std::string::npos);
  EXPECT_NE(alone.find('f'), std::string::npos);
}

TEST_F(SimModelTest, ADumpHoldsEachTargetsEnvironmentBlockAndRegionCrcs) {
  SimOptions options = Options(2);
  options.environmentLength = 64;
  options.lossRate = 1.0;
  options.lossTypes = {kRestartRequest};
  Make(options);
  const Bytes image = {1, 2, 3, 4, 5};
  ASSERT_EQ(Flash(0x8000, image, Crc32(std::span<const uint8_t>(image))), kStatusOk);
  Answering();
  Send(wire::RestartRequest{.mac = kFirst, .requestId = 3}.Encode());

  const nlohmann::json dump =
      nlohmann::json::parse(model->Dump({{0x8000, 5}, {0x8000, 8}, {0xFFFFFFFF, 1}}, 1234));
  EXPECT_EQ(dump["time_ms"], 1234);
  EXPECT_EQ(dump["counters"]["requests"], 4);
  EXPECT_EQ(dump["counters"]["replies_lost"], 1);
  EXPECT_EQ(dump["counters"]["restarts"], 1);
  EXPECT_EQ(dump["environment"]["address"], 0x00F00000);
  EXPECT_EQ(dump["environment"]["length"], 64);
  ASSERT_EQ(dump["targets"].size(), 2u);
  const nlohmann::json& first = dump["targets"][0];
  EXPECT_EQ(first["mac"], "02:00:00:00:00:01");
  EXPECT_EQ(first["ip"], "127.0.0.10");
  EXPECT_EQ(first["state"], "up");
  EXPECT_EQ(first["restarts"], 1);
  EXPECT_EQ(first["discover_replies"], 1);
  const Bytes padded = {1, 2, 3, 4, 5, 0xFF, 0xFF, 0xFF};
  const uint32_t crcs[] = {Crc32(std::span<const uint8_t>(image)),
                           Crc32(std::span<const uint8_t>(padded)), Crc32(1, padded.data() + 5)};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(first["regions"][i]["crc"], crcs[i]);
  EXPECT_EQ(first["regions"][2]["address"], 0xFFFFFFFFu);

  // The block as bytes, exactly as the target holds it.
  const std::string hex = dump["targets"][1]["environment"];
  ASSERT_EQ(hex.size(), 128u);
  Bytes block;
  for (size_t i = 0; i < hex.size(); i += 2) {
    block.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  EXPECT_EQ(block, model->ReadMemory(kSecond, 0x00F00000, 64));
  EXPECT_EQ(dump["targets"][1]["regions"][0]["crc"], Crc32ExtendRepeated(0, 0xFF, 5));
}

// Boards put on the line one by one, taken off once flashed and some put back: at each step's
// time, a restart of one target (when asked), then who answers a discovery and each target's
// presence in the dump ('p' present, 'n' not yet appeared, 'l' left).
TEST_F(SimModelTest, TargetsArriveLeaveAndComeBackAsTheClockSays) {
  struct Step {
    uint32_t at;
    uint8_t restart;  // last byte of the MAC; 0 for none
    std::vector<uint8_t> answering;
    std::string presence;
  };
  struct Row {
    const char* what;
    uint32_t targets, appearEvery, appearCount, leaveAfter, comeBackAfter;
    std::vector<Step> steps;
  };
  const std::vector<Row> rows = {
      {"all arrive, the first one period after the start",
       3,
       100,
       kAllTargets,
       0,
       0,
       {{0, 0, {}, "nnn"},
        {99, 0, {}, "nnn"},
        {100, 0, {1}, "pnn"},
        {199, 0, {1}, "pnn"},
        {200, 0, {1, 2}, "ppn"},
        {300, 0, {1, 2, 3}, "ppp"}}},
      {"only the last arrives",
       3,
       100,
       1,
       0,
       0,
       {{0, 0, {1, 2}, "ppn"}, {100, 0, {1, 2, 3}, "ppp"}}},
      {"none arrives", 2, 100, 0, 0, 0, {{0, 0, {1, 2}, "pp"}}},
      {"more arriving than there are targets", 2, 50, 9, 0, 0, {{50, 0, {1}, "pn"}}},
      {"a flashed unit leaves and comes back, then leaves again once restarted",
       2,
       0,
       kAllTargets,
       50,
       200,
       {{10, 1, {1, 2}, "pp"},
        {40, 1, {1, 2}, "pp"},  // the first restart still says when it leaves
        {59, 0, {1, 2}, "pp"},
        {60, 0, {2}, "lp"},
        {259, 0, {2}, "lp"},
        {260, 0, {1, 2}, "pp"},
        {400, 0, {1, 2}, "pp"},  // back, and stays until it is restarted
        {500, 1, {1, 2}, "pp"},
        {550, 0, {2}, "lp"},
        {750, 0, {1, 2}, "pp"}}},
      {"taken off for good",
       2,
       0,
       kAllTargets,
       50,
       0,
       {{10, 2, {1, 2}, "pp"}, {60, 0, {1}, "pl"}, {86'400'000, 0, {1}, "pl"}}},
      {"a late target leaves only once it has appeared and restarted",
       2,
       100,
       1,
       30,
       100,
       {{50, 2, {1}, "pn"},  // not there: the restart is not carried out
        {100, 0, {1, 2}, "pp"},
        {150, 2, {1, 2}, "pp"},
        {180, 0, {1}, "pl"},
        {280, 0, {1, 2}, "pp"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SimOptions options = Options(row.targets);
    options.appearEveryMs = row.appearEvery;
    options.appearCount = row.appearCount;
    options.leaveAfterMs = row.leaveAfter;
    options.comeBackAfterMs = row.comeBackAfter;
    Make(options);
    uint32_t id = 0;
    for (const Step& step : row.steps) {
      SCOPED_TRACE(step.at);
      now = step.at;
      if (step.restart != 0) {
        const MacAddress mac{{0x02, 0x00, 0x00, 0x00, 0x00, step.restart}};
        const SimOutput output = Send(wire::RestartRequest{.mac = mac, .requestId = ++id}.Encode(),
                                      kFirstAddress + step.restart - 1);
        // Answered only where it is on the line.
        EXPECT_EQ(output.replies.size(), step.presence.at(step.restart - 1u) == 'p' ? 1u : 0u);
      }
      EXPECT_EQ(Answering(), step.answering);
      std::string presence;
      const nlohmann::json dump = nlohmann::json::parse(model->Dump({}, now));
      for (const auto& target : dump["targets"]) {
        presence += std::string(target["presence"]).front();
      }
      EXPECT_EQ(presence, step.presence);
    }
  }
}

// Put on the line without an address, given one, flashed, taken off and put back: it keeps its
// address and its memory, not what its staging buffer held; meanwhile it takes nothing.
TEST_F(SimModelTest, AnUnassignedLateTargetKeepsItsAddressAndMemoryThroughAnAbsence) {
  SimOptions options = Options(2);
  options.unassigned = 1;
  options.appearEveryMs = 100;
  options.appearCount = 1;
  options.leaveAfterMs = 50;
  options.comeBackAfterMs = 100;
  Make(options);
  constexpr uint32_t kGiven = 0x7F00002A;
  const auto assign = [&](uint32_t address) {
    return Send(wire::AssignAddressRequest{.mac = kSecond, .ipAddress = address}.Encode(),
                0xFFFFFFFF);
  };

  now = 50;
  EXPECT_EQ(assign(kGiven).records.at(0).reason, "not yet appeared");
  EXPECT_EQ(model->FindTarget(kSecond)->ipAddress, 0u);

  now = 100;
  const SimOutput discovery = Send(wire::DiscoverRequest{}.Encode(), 0xFFFFFFFF);
  ASSERT_EQ(discovery.replies.size(), 2u);
  EXPECT_EQ(wire::DiscoverReply::Decode(discovery.replies[1].bytes)->ipAddress, 0u);
  EXPECT_EQ(assign(kGiven).records.at(0).event, "handled");

  const Bytes image(300, 0x6C);
  const uint32_t crc = Crc32(std::span<const uint8_t>(image));
  const auto stage = [&](uint32_t id) {
    return Final(wire::DataRequest{.mac = kSecond, .requestId = id, .data = image}.Encode(), kGiven)
        .status;
  };
  const auto write = [&](uint32_t id, uint32_t address) {
    return wire::WriteRequest{
        .mac = kSecond, .requestId = id, .address = address, .length = 300, .crc = crc}
        .Encode();
  };
  ASSERT_EQ(stage(1), kStatusOk);
  ASSERT_EQ(Final(write(2, 0x4000), kGiven).status, kStatusOk);
  now = 120;
  ASSERT_EQ(Final(wire::RestartRequest{.mac = kSecond, .requestId = 3}.Encode(), kGiven).status,
            kStatusOk);
  ASSERT_EQ(stage(4), kStatusOk);  // staged again before it is taken off

  now = 170;  // no discovery meanwhile: what the absence did, a request must find out
  EXPECT_EQ(assign(0x7F00002B).records.at(0).reason, "left the fixture");
  EXPECT_EQ(Send(write(5, 0x8000), kGiven).records.at(0).reason, "left the fixture");
  const nlohmann::json away = nlohmann::json::parse(model->Dump({}, now));
  EXPECT_EQ(away["targets"][1]["state"], "left the fixture");
  EXPECT_EQ(away["targets"][1]["leaves"], 1);
  EXPECT_EQ(away["counters"]["left"], 1);
  EXPECT_EQ(away["counters"]["came_back"], 0);

  // Back, and asked before anything else: off the fixture it had no power, so what was staged
  // is gone.
  now = 270;
  EXPECT_EQ(Final(write(6, 0x8000), kGiven).status, kStatusBadCrc);
  EXPECT_EQ(model->ReadMemory(kSecond, 0x8000, 300), Bytes(300, 0xFF));
  EXPECT_EQ(model->ReadMemory(kSecond, 0x4000, 300), image);
  const SimOutput back = Send(wire::DiscoverRequest{}.Encode(), 0xFFFFFFFF);
  ASSERT_EQ(back.replies.size(), 2u);
  EXPECT_EQ(wire::DiscoverReply::Decode(back.replies[1].bytes)->ipAddress, kGiven);
  EXPECT_EQ(back.replies[1].source, kGiven);
  EXPECT_EQ(model->Environment(kSecond).count("ipaddr"), 0u);
  const nlohmann::json again = nlohmann::json::parse(model->Dump({}, now));
  EXPECT_EQ(again["targets"][1]["presence"], "present");
  EXPECT_EQ(again["targets"][1]["ip"], "127.0.0.42");
  EXPECT_EQ(again["targets"][1]["leaves"], 1);
  EXPECT_EQ(again["counters"]["left"], 1);
  EXPECT_EQ(again["counters"]["came_back"], 1);
  EXPECT_EQ(again["counters"]["ignored_while_silent"], 3);
  EXPECT_EQ(again["targets"][1]["discover_replies"], 2);
}

TEST_F(SimModelTest, TheTargetsThatComeBackFollowTheSeed) {
  const auto returning = [this](uint32_t seed) {
    SimOptions options = Options(10);
    options.leaveAfterMs = 10;
    options.comeBackAfterMs = 100;
    options.comeBackCount = 3;
    options.seed = seed;
    Make(options);
    now = 0;
    for (uint8_t last = 1; last <= 10; ++last) {
      const MacAddress mac{{0x02, 0x00, 0x00, 0x00, 0x00, last}};
      EXPECT_EQ(Final(wire::RestartRequest{.mac = mac, .requestId = last}.Encode(),
                      kFirstAddress + last - 1)
                    .status,
                kStatusOk);
    }
    now = 10;
    EXPECT_TRUE(Answering().empty());
    now = 110;
    const std::vector<uint8_t> back = Answering();
    EXPECT_EQ(back.size(), 3u);
    now = 86'400'000;
    EXPECT_EQ(Answering(), back);
    return back;
  };
  EXPECT_EQ(returning(3), returning(3));
  EXPECT_NE(returning(3), returning(4));
}

TEST(SimDumpRequestTest, ParsesRegionsAndRefusesWhatIsNoRegion) {
  struct Row {
    const char* text;
    bool isDump;
    std::vector<SimRegion> regions;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"qor-sim dump", true, {}, ""},
      {"qor-sim dump  0x1000:16 4096:0x10 ", true, {{0x1000, 16}, {4096, 16}}, ""},
      {"qor-sim dump 0xFFFFFFF0:16", true, {{0xFFFFFFF0, 16}}, ""},
      {"qor-sim dump 0xFFFFFFF0:17",
       true,
       {},
       "not a region ADDRESS:LENGTH within 4 GiB: 0xFFFFFFF0:17"},
      {"qor-sim dump 0x1000", true, {}, "not a region ADDRESS:LENGTH within 4 GiB: 0x1000"},
      {"qor-sim dump 1:2 x:2", true, {}, "not a region ADDRESS:LENGTH within 4 GiB: x:2"},
      {"qor-sim dump 1:-2", true, {}, "not a region ADDRESS:LENGTH within 4 GiB: 1:-2"},
      {"qor-sim dumpster", false, {}, ""},
      {"qor-sim", false, {}, ""},
      {"", false, {}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const std::string text = row.text;
    const auto parsed = ParseDumpRequest(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    ASSERT_EQ(parsed.has_value(), row.isDump);
    if (!parsed) continue;
    EXPECT_EQ(parsed->regions, row.regions);
    EXPECT_EQ(parsed->error, row.error);
  }
}

}  // namespace
}  // namespace qor::sim
