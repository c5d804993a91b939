#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "net/Wire.h"
#include "platform/Exception.h"
#include "tests/common/TempFiles.h"
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
