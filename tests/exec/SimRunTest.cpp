// Scripts run against simulated targets over real UDP sockets. Each test runs inside its own
// private network namespace (scripts/netns-run), where the simulator owns port 5266.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "exec/DirectiveRegistry.h"
#include "exec/ScriptRunner.h"
#include "net/TargetEnvironment.h"
#include "net/TargetNetwork.h"
#include "script/DataSection.h"
#include "script/Script.h"
#include "tests/common/TempFiles.h"
#include "tests/exec/ExecHarness.h"
#include "tools/qor-sim/SimEngine.h"

namespace qor::test {
namespace {

using std::chrono::steady_clock;

constexpr uint32_t kEnvAddress = 0x00F00000;
constexpr uint32_t kEnvLength = 0x1000;

class SimRunTest : public ::testing::Test {
 protected:
  void StartSim(sim::SimOptions options) {
    options.keepTrace = true;
    engine = std::make_unique<sim::SimEngine>(std::move(options));
    engine->Start();
    network = std::make_unique<TargetNetwork>();
    network->Discover();
    network->PollFor(300);
  }

  Target& TargetAt(uint8_t last) {
    MacAddress mac{{0x02, 0x00, 0x00, 0x00, 0x00, last}};
    Target* target = network->Table().Find(mac);
    if (target == nullptr) throw std::runtime_error("simulated target did not answer");
    return *target;
  }

  // Runs the script on the target the way `qorctl run --pace fast` does, within limit.
  void RunToEnd(const Script& script, Target& target, std::chrono::seconds limit) {
    RecordingDisplay display;
    ScriptRunner runner(target, script, *network, display);
    const auto start = steady_clock::now();
    runner.Step();
    while (!runner.Finished()) {
      ASSERT_LT(steady_clock::now() - start, limit) << "stuck at: " << display.Status();
      static_cast<void>(network->WaitReadable(20));
      network->Poll();
      runner.Step();
    }
  }

  size_t Count(uint16_t type, const char* event) const {
    size_t count = 0;
    for (const TraceRecord& record : engine->Trace()) {
      if (record.type == type && record.event == event) ++count;
    }
    return count;
  }

  TempFiles files;
  std::unique_ptr<sim::SimEngine> engine;
  std::unique_ptr<TargetNetwork> network;
};

// 5 KiB at 0x20000: a binary file over the first 1.5 KiB, a blank kilobyte, S3 records over the
// file's end and in the fourth kilobyte, the fifth left blank.
std::string DownloadScript(TempFiles& files, std::vector<uint8_t>& expected) {
  std::string binary(1536, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 + 1);
  files.Write("image.bin", binary);
  DataSection image(0x20000, 5120);
  image.AddBlock({0x20000, std::vector<uint8_t>(binary.begin(), binary.end())});
  const std::string records =
      "S30900020500A1A2A3A4DD\n"         // overwrites 4 bytes of the file at 0x500
      "S30D00020C0001020304050607D1\n";  // 8 bytes at 0xC00 (fourth kilobyte)
  for (const char* line : {"S30900020500A1A2A3A4DD", "S30D00020C0001020304050607D1"}) {
    image.AddBlock(*ParseSRecord(line));
  }
  expected = image.ExtractBlock(0x20000, 5120).bytes;
  return "*section Image\n*download 0x20000 5120 image.bin\n" + records;
}

TEST_F(SimRunTest, DownloadLandsInTargetMemoryByteForByte) {
  StartSim({});
  Target& target = TargetAt(1);
  // Stale bytes where the image's blank kilobytes go: the fill must clear them.
  engine->WriteMemory(target.mac, 0x20000, std::vector<uint8_t>(5120, 0x5A));
  std::vector<uint8_t> expected;
  const Script script(files.Write("download.qor", DownloadScript(files, expected)),
                      DirectiveRegistry());
  RunToEnd(script, target, std::chrono::seconds(10));
  EXPECT_EQ(engine->ReadMemory(target.mac, 0x20000, 5120), expected);
  // Only the three kilobytes holding data travelled.
  EXPECT_EQ(Count(kDataRequest, "handled"), 3u);
  EXPECT_EQ(target.pendingContext, nullptr);
}

TEST_F(SimRunTest, EnvironmentRoundTripChangesOneVariableAndKeepsByteOrder) {
  sim::SimOptions options;
  options.environment = {{"Zone", "7"}, {"bootdelay", "5"}, {"ip", "a"}};
  StartSim(options);
  Target& target = TargetAt(1);
  std::map<std::string, std::string> expected = engine->Environment(target.mac);
  ASSERT_EQ(expected.at("bootdelay"), "5");
  expected["bootdelay"] = "0";

  const Script script(
      files.Write("env.qor",
                  "*loadenv 0x00F00000 0x1000\n*setenv bootdelay 0\n*saveenv 0x00F00000 0x1000\n"
                  "*restart\n"),
      DirectiveRegistry());
  RunToEnd(script, target, std::chrono::seconds(10));
  EXPECT_EQ(engine->Environment(target.mac), expected);
  TargetEnvironment table;
  table.entries = expected;
  // The whole block, byte for byte: entries in byte order ("Zone" before "bootdelay", "ip"
  // before "ipaddr"), zero fill, CRC.
  EXPECT_EQ(engine->ReadMemory(target.mac, kEnvAddress, kEnvLength),
            BuildEnvironmentBlock(table, kEnvAddress, kEnvLength).bytes);
  EXPECT_EQ(engine->FindTarget(target.mac)->restarts, 1u);
}

TEST_F(SimRunTest, DownloadsAndEnvironmentEditsSurviveLosingAThirdOfDataAndReadReplies) {
  sim::SimOptions options;
  options.lossRate = 0.3;
  options.lossTypes = {kDataRequest, kReadRequest};
  options.seed = 7;
  StartSim(options);
  Target& target = TargetAt(1);
  std::vector<uint8_t> expected;
  const Script script(
      files.Write("lossy.qor", DownloadScript(files, expected) +
                                   "*loadenv 0x00F00000 0x1000\n*setenv serial QOR-LOSSY\n"
                                   "*saveenv 0x00F00000 0x1000\n"),
      DirectiveRegistry());
  std::map<std::string, std::string> env = engine->Environment(target.mac);
  env["serial"] = "QOR-LOSSY";
  RunToEnd(script, target, std::chrono::seconds(60));
  EXPECT_EQ(engine->ReadMemory(target.mac, 0x20000, 5120), expected);
  EXPECT_EQ(engine->Environment(target.mac), env);
  // Replies were really lost, and each loss was made good by a resend: 3 image chunks and 4
  // environment chunks, 4 reads.
  EXPECT_GT(Count(kFinalReply, "lost"), 0u);
  EXPECT_GT(Count(kDataRequest, "handled") + Count(kReadRequest, "handled"), 11u);
  EXPECT_EQ(Count(kFillRequest, "handled"), 2u) << "fills are never repeated";
  EXPECT_EQ(Count(kWriteRequest, "handled"), 2u) << "writes are never repeated";
}

}  // namespace
}  // namespace qor::test
