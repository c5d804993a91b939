#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "net/Wire.h"
#include "platform/Exception.h"
#include "tests/common/TempFiles.h"
#include "tools/trace/MessageFields.h"
#include "tools/trace/TraceRecord.h"
#include "tools/trace/TraceWriter.h"

namespace qor {
namespace {

TEST(TraceRecordTest, EachRecordIsOneJsonObjectWithItsOptionalFieldsOnlyWhenSet) {
  TraceRecord request;
  request.timeMs = 12;
  request.peerAddress = 0x7F000001;
  request.peerPort = 40000;
  request.localAddress = 0xFFFFFFFF;
  request.type = kDiscoverRequest;
  request.length = 4;
  request.event = "handled";
  EXPECT_EQ(TraceLine(request),
            R"({"t":12,"dir":"in","from":"127.0.0.1:40000","to":"255.255.255.255:5266",)"
            R"("type":"DiscoverRequest","length":4,"event":"handled"})");

  // A reply going out: from the target's side; a ProgressReply's number is its value.
  TraceRecord progress;
  progress.timeMs = 13;
  progress.incoming = false;
  progress.peerAddress = 0x7F000001;
  progress.peerPort = 40000;
  progress.localAddress = 0x7F00000A;
  progress.type = kProgressReply;
  progress.mac = MacAddress{{0x02, 0, 0, 0, 0, 0x01}};
  progress.requestId = 41;
  progress.status = 0x100;
  progress.length = 20;
  progress.event = "lost";
  progress.reason = "simulated loss";
  EXPECT_EQ(TraceLine(progress),
            R"({"t":13,"dir":"out","from":"127.0.0.10:5266","to":"127.0.0.1:40000",)"
            R"("type":"ProgressReply","mac":"02:00:00:00:00:01","request_id":41,"value":256,)"
            R"("length":20,"event":"lost","reason":"simulated loss"})");

  // Seen from the host's side: a FinalReply comes in to its own port; unknown types by number.
  TraceRecord final = progress;
  final.incoming = true;
  final.peerAddress = 0x7F00000A;
  final.peerPort = 5266;
  final.localAddress = 0;
  final.localPort = 40000;
  final.type = kFinalReply;
  final.status = 3;
  final.event = "received";
  final.reason.clear();
  EXPECT_EQ(TraceLine(final),
            R"({"t":13,"dir":"in","from":"127.0.0.10:5266","to":"0.0.0.0:40000",)"
            R"("type":"FinalReply","mac":"02:00:00:00:00:01","request_id":41,"status":3,)"
            R"("length":20,"event":"received"})");
  final.type = 0x8004;
  EXPECT_NE(TraceLine(final).find(R"("type":"32772")"), std::string::npos);
}

TEST(TraceRecordTest, EveryMessageIsDescribedWithItsOwnFields) {
  const MacAddress mac{{0x02, 0, 0, 0, 0, 0x07}};
  struct Row {
    wire::Bytes bytes;
    std::string expected;  // the line's middle: from "type" to "length"
  };
  const std::vector<Row> rows = {
      {wire::DiscoverRequest{}.Encode(), R"("type":"DiscoverRequest","length":4)"},
      {wire::AssignAddressRequest{.mac = mac, .ipAddress = 0x7F000014}.Encode(),
       R"("type":"AssignAddressRequest","mac":"02:00:00:00:00:07","fields":{"ip":"127.0.0.20"},)"
       R"("length":16)"},
      {wire::FillRequest{.mac = mac, .requestId = 41, .length = 0x800}.Encode(),
       R"("type":"FillRequest","mac":"02:00:00:00:00:07","request_id":41,)"
       R"("fields":{"fill":4294967295,"length":2048},"length":24)"},
      {wire::DataRequest{.mac = mac, .requestId = 42, .offset = 0x400, .data = {1, 2, 3}}.Encode(),
       R"("type":"DataRequest","mac":"02:00:00:00:00:07","request_id":42,)"
       R"("fields":{"offset":1024,"bytes":3},"length":23)"},
      {wire::WriteRequest{.mac = mac, .requestId = 43, .address = 0x10000, .length = 8, .crc = 9}
           .Encode(),
       R"("type":"WriteRequest","mac":"02:00:00:00:00:07","request_id":43,)"
       R"("fields":{"address":65536,"length":8,"crc":9},"length":28)"},
      {wire::ReadRequest{.mac = mac, .requestId = 44, .address = 0xF00000, .length = 1024}.Encode(),
       R"("type":"ReadRequest","mac":"02:00:00:00:00:07","request_id":44,)"
       R"("fields":{"address":15728640,"length":1024},"length":24)"},
      {wire::RestartRequest{.mac = mac, .requestId = 45}.Encode(),
       R"("type":"RestartRequest","mac":"02:00:00:00:00:07","request_id":45,"length":16)"},
      {wire::DiscoverReply{
           .mac = mac, .ipAddress = 0, .vendorId = 0x1234, .productId = 2, .stagingSize = 4096}
           .Encode(),
       R"("type":"DiscoverReply","mac":"02:00:00:00:00:07",)"
       R"("fields":{"ip":"0.0.0.0","vendor":4660,"product":2,"staging":4096},"length":24)"},
      {wire::FinalReply{.mac = mac, .requestId = 44, .status = 2, .payload = {1, 2}}.Encode(),
       R"("type":"FinalReply","mac":"02:00:00:00:00:07","request_id":44,"status":2,)"
       R"("fields":{"payload":2},"length":22)"},
      {wire::ProgressReply{.mac = mac, .requestId = 43, .value = 0x10400}.Encode(),
       R"("type":"ProgressReply","mac":"02:00:00:00:00:07","request_id":43,"value":66560,)"
       R"("length":20)"},
      // Cut short: what it holds and no more.
      {wire::Bytes{0, 1, 0, 5, 2, 0, 0, 0, 0, 7, 0, 0, 0, 0},
       R"("type":"WriteRequest","mac":"02:00:00:00:00:07","length":14)"},
      {wire::Bytes{0, 1}, R"("type":"0","length":2)"},
  };
  for (const Row& row : rows) {
    TraceRecord record = DescribeMessage(row.bytes);
    record.event = "sent";
    const std::string line = TraceLine(record);
    const size_t from = line.find(R"("type")");
    const size_t to = line.find(R"(,"event")");
    ASSERT_NE(from, std::string::npos) << line;
    EXPECT_EQ(line.substr(from, to - from), row.expected);
  }
}

TEST(TraceRecordTest, TheWriterPutsOneLinePerRecordAndRefusesAFileItCannotCreate) {
  test::TempFiles files;
  const std::string path = files.Folder() + "/trace.jsonl";
  TraceRecord record;
  record.type = kDiscoverRequest;
  record.event = "handled";
  {
    TraceWriter writer(path);
    writer.Write(record);
    record.timeMs = 1;
    writer.Write(record);
    writer.Flush();
    std::ifstream early(path);
    std::string first;
    EXPECT_TRUE(std::getline(early, first)) << "flushed lines are in the file";
  }
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  record.timeMs = 0;
  const std::string first = TraceLine(record);
  record.timeMs = 1;
  EXPECT_EQ(lines, (std::vector<std::string>{first, TraceLine(record)}));

  try {
    TraceWriter missing(files.Folder() + "/no/such/folder/trace.jsonl");
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "Cannot write trace file \"" + files.Folder() + "/no/such/folder/trace.jsonl\"");
  }
}

}  // namespace
}  // namespace qor
