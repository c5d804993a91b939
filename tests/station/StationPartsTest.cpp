// The station's files: what the address map and the unit values refuse, and the CSV and times
// the records are written with.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "station/AddressPool.h"
#include "station/Csv.h"
#include "station/Sha256Digest.h"
#include "station/UnitRecord.h"
#include "station/UnitValues.h"
#include "tests/common/TempFiles.h"

namespace qor::test {
namespace {

TEST(StationFilesTest, ABadRangeMapOrValuesFileIsRefusedWithWhereAndWhy) {
  TempFiles files;
  const std::string f = files.Folder();
  struct Row {
    std::function<void()> read;
    std::string message;
  };
  const auto map = [&](const std::string& text) {
    return [&files, text] { static_cast<void>(AddressPool::MapFile(files.Write("m.csv", text))); };
  };
  const auto values = [&](const std::string& text) {
    return [&files, text] { static_cast<void>(UnitValues::File(files.Write("v.csv", text))); };
  };
  const auto range = [](const std::string& text) {
    return [text] { static_cast<void>(AddressPool::Range(text)); };
  };
  const std::vector<Row> rows = {
      {range("127.0.1.1"),
       "\"127.0.1.1\" is not a range of addresses FIRST-LAST, such as 127.0.1.1-127.0.1.254"},
      {range("127.0.1.9-127.0.1.1"), "The range 127.0.1.9-127.0.1.1 begins after it ends"},
      {range("127.0.0.0-127.1.0.0"),
       "The range 127.0.0.0-127.1.0.0 holds more than 65536 addresses"},
      {range("223.255.255.255-224.0.0.0"),
       "The range 223.255.255.255-224.0.0.0 holds an address no target can hold: 224.0.0.0 is a "
       "multicast address (224.0.0.0/4)"},
      {map("mac,ip\n02:00:00:00:00:01\n"), "Line 2 of \"" + f + "/m.csv\" is not a line mac,ip"},
      {map("02:00:00:00:00:0G,127.0.1.1\n"),
       "Line 1 of \"" + f +
           "/m.csv\": \"02:00:00:00:00:0G\" is not a MAC address such as 00:1A:2B:3C:4D:5E"},
      {map("02:00:00:00:00:01,127.0.1\n"),
       "Line 1 of \"" + f + "/m.csv\": \"127.0.1\" is not an IPv4 address such as 127.0.1.1"},
      {map("02:00:00:00:00:01,0.0.0.0\n"),
       "Line 1 of \"" + f + "/m.csv\": 0.0.0.0 stands for no address at all"},
      {map("02:00:00:00:00:01,127.0.1.1\n\n02:00:00:00:00:01,127.0.1.2\n"),
       "Line 3 of \"" + f + "/m.csv\" names 02:00:00:00:00:01 a second time"},
      {map("02:00:00:00:00:01,127.0.1.1\r\n02:00:00:00:00:02,127.0.1.1\r\n"),
       "Line 2 of \"" + f + "/m.csv\" gives 127.0.1.1, which line 1 gives already"},
      {map("mac,ip\n\"02:00:00:00:00:01,127.0.1.1\n"),
       "Line 2 of \"" + f + "/m.csv\" has a quoted field that is not closed"},
      {values(""), "\"" + f + "/v.csv\" has no header naming the variables"},
      {values("mac\n02:00:00:00:00:01\n"), "Line 1 of \"" + f + "/v.csv\" names no variable"},
      {values("serial,a=b\n"),
       "Line 1 of \"" + f + "/v.csv\": \"a=b\" is no variable name (one without '=')"},
      {values("serial,serial\n"), "Line 1 of \"" + f + "/v.csv\" names serial twice"},
      {values("serial,host\nSN1\n"),
       "Line 2 of \"" + f + "/v.csv\" has 1 fields where the header has 2"},
      {values("serial,host\nSN1, \n"), "Line 2 of \"" + f + "/v.csv\" has no value for host"},
      {values("serial\nSN1\nSN2\n\"SN1\"\n"),
       "Line 4 of \"" + f + "/v.csv\" holds the same values as line 2"},
      {values("serial,mac\nSN1,02:00:00:00:00:01\nSN2,02-00-00-00-00-01\n"),
       "Line 3 of \"" + f + "/v.csv\" is for 02:00:00:00:00:01, as line 2 is already"},
  };
  for (const Row& row : rows) {
    try {
      row.read();
      ADD_FAILURE() << "accepted, instead of: " << row.message;
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), row.message);
    }
  }
}

TEST(StationFilesTest, CsvFieldsAreQuotedOnlyWhereTheyMustBeAndReadBackAsWritten) {
  const std::vector<std::string> fields = {"plain",        "a,b", "say \"hi\"",
                                           "two\r\nlines", "",    " blanks "};
  const std::string line = CsvLine(fields);
  EXPECT_EQ(line, "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\",, blanks \r\n");
  // Quoted fields keep their blanks; the reader trims only unquoted ones.
  const std::vector<CsvRow> rows = ParseCsv("\xEF\xBB\xBF" + line + "x", "f");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].line, 1u);
  std::vector<std::string> back = fields;
  back[5] = "blanks";
  EXPECT_EQ(rows[0].fields, back);
  EXPECT_EQ(rows[1].line, 3u) << "the quoted line end counts";
  EXPECT_EQ(rows[1].fields, std::vector<std::string>{"x"});
}

TEST(StationFilesTest, RecordTimesAreUtcToTheMillisecond) {
  using namespace std::chrono;
  EXPECT_EQ(RecordTimeText(system_clock::time_point(milliseconds(0))), "1970-01-01T00:00:00.000Z");
  // 2028-02-29T23:59:59.999Z, a leap day.
  EXPECT_EQ(RecordTimeText(system_clock::time_point(milliseconds(1835481599999))),
            "2028-02-29T23:59:59.999Z");
}

TEST(Sha256Digest, NamesAFileByTheReferenceDigestOfItsBytes) {
  TempFiles files;
  // SHA-256 of "abc" (FIPS 180-2, appendix B.1).
  EXPECT_EQ(Sha256Digest::OfFile(files.Write("abc", "abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string absent = files.Folder() + "/absent.QOR";
  try {
    static_cast<void>(Sha256Digest::OfFile(absent));
    ADD_FAILURE() << "hashed a file that is not there";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot read \"" + absent + "\"");
  }
}

}  // namespace
}  // namespace qor::test
