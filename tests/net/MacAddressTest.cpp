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

}  // namespace
}  // namespace qor
