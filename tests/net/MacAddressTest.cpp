#include <gtest/gtest.h>

#include "net/MacAddress.h"
#include "net/Target.h"

namespace qor {
namespace {

TEST(MacAddressTest, TextIsUpperCaseHexadecimalByteZeroFirst) {
  const MacAddress mac{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
  EXPECT_EQ(mac.ToString(), "00:1A:2B:3C:4D:5E");
  EXPECT_EQ((MacAddress{{0xFF, 0, 0, 0, 0, 0x01}}.ToString()), "FF:00:00:00:00:01");
}

TEST(MacAddressTest, ParsesColonsOrDashesInAnyCaseAndRejectsTheRest) {
  const MacAddress expected{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
  EXPECT_EQ(MacAddress::Parse("00:1a:2b:3c:4d:5e"), expected);
  EXPECT_EQ(MacAddress::Parse("00-1A-2B-3C-4D-5E"), expected);
  for (const char* bad : {"not-a-mac", "", "00:1A:2B:3C:4D", "00:1A:2B:3C:4D:5E:6F",
                          "00:1A:2B-3C:4D:5E", "00:1A:2B:3C:4D:5G", "001A2B3C4D5E",
                          "0:1A:2B:3C:4D:5E ", " 00:1A:2B:3C:4D:5E", "00.1A.2B.3C.4D.5E"}) {
    EXPECT_FALSE(MacAddress::Parse(bad).has_value()) << bad;
  }
}

TEST(MacAddressTest, OrdersByteByByteAsUnsignedValues) {
  const MacAddress low{{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
  const MacAddress high{{0x80, 0x00, 0x00, 0x00, 0x00, 0x00}};
  EXPECT_LT(low, high);
  EXPECT_LT((MacAddress{{1, 2, 3, 4, 5, 6}}), (MacAddress{{1, 2, 3, 4, 5, 7}}));
  EXPECT_EQ((MacAddress{{1, 2, 3, 4, 5, 6}}), (MacAddress{{1, 2, 3, 4, 5, 6}}));
}

TEST(TargetAddressTextTest, DottedDecimalMostSignificantFirstOrUnassigned) {
  EXPECT_EQ(TargetAddressText(0x7F00000A), "127.0.0.10");
  EXPECT_EQ(TargetAddressText(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(TargetAddressText(0x01000000), "1.0.0.0");
  EXPECT_EQ(TargetAddressText(0), "Unassigned");
  EXPECT_EQ(IpAddressText(0), "0.0.0.0");
}

TEST(TargetAddressTextTest, ParsesFourDecimalPartsOnly) {
  EXPECT_EQ(ParseIpAddress("127.0.0.10"), 0x7F00000Au);
  EXPECT_EQ(ParseIpAddress("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseIpAddress("0.0.0.0"), 0u);
  for (const char* bad : {"", "127.0.0", "127.0.0.10.1", "256.0.0.1", "127.0.0.-1", "127..0.1",
                          "127.0.0.1 ", "0x7F.0.0.1", "1270.0.0.1", "a.b.c.d"}) {
    EXPECT_FALSE(ParseIpAddress(bad).has_value()) << bad;
  }
}

// What no target can hold, at the edges of each refused block; what is left, a target can.
TEST(TargetAddressTextTest, AddressProblemNamesTheBlocksNoTargetCanHold) {
  struct Row {
    uint32_t address;
    const char* problem;  // empty: a target can hold it
  };
  const Row rows[] = {
      {0x00000000, "0.0.0.0 stands for no address at all"},
      {0x00000001, "0.0.0.1 is reserved: 0.0.0.0/8 stands for this network"},
      {0x00FFFFFF, "0.255.255.255 is reserved: 0.0.0.0/8 stands for this network"},
      {0x01000000, ""},
      {0x7F000014, ""},
      {0xDFFFFFFF, ""},
      {0xE0000000, "224.0.0.0 is a multicast address (224.0.0.0/4)"},
      {0xEFFFFFFF, "239.255.255.255 is a multicast address (224.0.0.0/4)"},
      {0xF0000000, "240.0.0.0 is reserved for future use (240.0.0.0/4)"},
      {0xFFFFFFFE, "255.255.255.254 is reserved for future use (240.0.0.0/4)"},
      {0xFFFFFFFF, "255.255.255.255 is the broadcast address of every network"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(AddressProblem(row.address), row.problem) << IpAddressText(row.address);
  }
}

}  // namespace
}  // namespace qor
