#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/Wire.h"

namespace qor::wire {
namespace {

constexpr MacAddress kMac{{0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};

// Every message once: the bytes its fields must encode to, written out by hand, and the
// shortest length that still decodes.
struct Row {
  std::string name;
  Bytes encoded;  // Encode() of the record
  Bytes expected;
  std::function<std::optional<Bytes>(ByteView)> reencode;  // Decode(), then Encode()
  size_t shortest;
};

template <typename Message>
Row MakeRow(std::string name, const Message& message, Bytes expected, size_t shortest) {
  const auto reencode = [](ByteView bytes) -> std::optional<Bytes> {
    const auto decoded = Message::Decode(bytes);
    if (!decoded) return std::nullopt;
    return decoded->Encode();
  };
  return {std::move(name), message.Encode(), std::move(expected), reencode, shortest};
}

// The header bytes after version and type: MAC, reserved.
Bytes With(std::initializer_list<uint8_t> versionAndType, std::initializer_list<uint8_t> fields) {
  Bytes bytes(versionAndType);
  bytes.insert(bytes.end(), kMac.bytes.begin(), kMac.bytes.end());
  bytes.insert(bytes.end(), {0x00, 0x00});
  bytes.insert(bytes.end(), fields);
  return bytes;
}

std::vector<Row> Rows() {
  return {
      MakeRow("Prefix", Prefix{.version = 1, .type = 0x8002}, {0x00, 0x01, 0x80, 0x02}, 4),
      MakeRow("Header", Header{.version = 1, .type = 0x8003, .mac = kMac},
              With({0x00, 0x01, 0x80, 0x03}, {}), 12),
      MakeRow("RequestIdHeader",
              RequestIdHeader{.header = {.type = 5, .mac = kMac}, .requestId = 0x01020304},
              With({0x00, 0x01, 0x00, 0x05}, {0x01, 0x02, 0x03, 0x04}), 16),
      MakeRow("DiscoverRequest", DiscoverRequest{}, {0x00, 0x01, 0x00, 0x01}, 4),
      MakeRow("AssignAddressRequest", AssignAddressRequest{.mac = kMac, .ipAddress = 0x7F000014},
              With({0x00, 0x01, 0x00, 0x02}, {0x7F, 0x00, 0x00, 0x14}), 16),
      MakeRow("FillRequest", FillRequest{.mac = kMac, .requestId = 41, .length = 0x12345},
              With({0x00, 0x01, 0x00, 0x03},
                   {0x00, 0x00, 0x00, 0x29, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x23, 0x45}),
              24),
      MakeRow("DataRequest",
              DataRequest{.mac = kMac, .requestId = 18467, .offset = 0x400, .data = {1, 2, 0xFF}},
              With({0x00, 0x01, 0x00, 0x04},
                   {0x00, 0x00, 0x48, 0x23, 0x00, 0x00, 0x04, 0x00, 0x01, 0x02, 0xFF}),
              21),
      MakeRow("WriteRequest",
              WriteRequest{.mac = kMac,
                           .requestId = 6334,
                           .address = 0x00F00000,
                           .length = 0x1000,
                           .crc = 0xCBF43926},
              With({0x00, 0x01, 0x00, 0x05}, {0x00, 0x00, 0x18, 0xBE, 0x00, 0xF0, 0x00, 0x00, 0x00,
                                              0x00, 0x10, 0x00, 0xCB, 0xF4, 0x39, 0x26}),
              28),
      MakeRow("ReadRequest",
              ReadRequest{.mac = kMac, .requestId = 26500, .address = 0x00F00400, .length = 1024},
              With({0x00, 0x01, 0x00, 0x07},
                   {0x00, 0x00, 0x67, 0x84, 0x00, 0xF0, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00}),
              24),
      MakeRow("RestartRequest", RestartRequest{.mac = kMac, .requestId = 0x7FFF},
              With({0x00, 0x01, 0x00, 0x08}, {0x00, 0x00, 0x7F, 0xFF}), 16),
      MakeRow("DiscoverReply",
              DiscoverReply{.mac = kMac,
                            .ipAddress = 0x7F00000A,
                            .vendorId = 0x1234,
                            .productId = 0xFE01,
                            .stagingSize = 0x00100000},
              With({0x00, 0x01, 0x80, 0x01},
                   {0x7F, 0x00, 0x00, 0x0A, 0x12, 0x34, 0xFE, 0x01, 0x00, 0x10, 0x00, 0x00}),
              24),
      MakeRow("FinalReply",
              FinalReply{.mac = kMac, .requestId = 41, .status = 3, .payload = {0xAB, 0xCD}},
              With({0x00, 0x01, 0x80, 0x02},
                   {0x00, 0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x03, 0xAB, 0xCD}),
              20),
      MakeRow("ProgressReply", ProgressReply{.mac = kMac, .requestId = 41, .value = 0x00F00400},
              With({0x00, 0x01, 0x80, 0x03}, {0x00, 0x00, 0x00, 0x29, 0x00, 0xF0, 0x04, 0x00}), 20),
  };
}

TEST(WireTest, EveryMessageEncodesAndDecodesByteByByte) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.encoded, row.expected);
    // Decoding recovers every field: encoding the result gives the same bytes back.
    EXPECT_EQ(row.reencode(row.expected), row.expected);
    // One byte too short is refused; the shortest accepted length decodes.
    EXPECT_EQ(row.reencode(ByteView(row.expected).first(row.shortest - 1)), std::nullopt);
    EXPECT_NE(row.reencode(ByteView(row.expected).first(row.shortest)), std::nullopt);
  }
}

TEST(WireTest, DecodeRefusesOtherTypesAndVersionsAndIgnoresTrailingBytes) {
  const Bytes fill = FillRequest{.mac = kMac, .requestId = 1, .length = 2}.Encode();
  // A FillRequest is as long as a ReadRequest: only the type tells them apart.
  EXPECT_EQ(ReadRequest::Decode(fill), std::nullopt);
  Bytes version2 = fill;
  version2[1] = 2;
  EXPECT_EQ(FillRequest::Decode(version2), std::nullopt);
  // Prefix and Header report what they find, so a receiver can say why it drops a message.
  EXPECT_EQ(Prefix::Decode(version2)->version, 2);
  EXPECT_EQ(Header::Decode(version2)->type, kFillRequest);

  Bytes longer = DiscoverReply{.mac = kMac, .stagingSize = 7}.Encode();
  longer.insert(longer.end(), {0xEE, 0xEE});
  ASSERT_TRUE(DiscoverReply::Decode(longer));
  EXPECT_EQ(DiscoverReply::Decode(longer)->stagingSize, 7u);

  // A FinalReply's payload and a DataRequest's data are whatever follows the fixed fields.
  EXPECT_TRUE(FinalReply::Decode(FinalReply{.mac = kMac}.Encode())->payload.empty());
  const Bytes big(kMaxDataBytes + 1, 0x5A);
  EXPECT_EQ(DataRequest::Decode(DataRequest{.mac = kMac, .data = big}.Encode())->data, big);

  EXPECT_EQ(MessageTypeName(kAssignAddressRequest), "AssignAddressRequest");
  EXPECT_EQ(MessageTypeName(0x8004), "32772");
}

}  // namespace
}  // namespace qor::wire
