// qorctl provision against simulated targets, inside this test's private network namespace:
// every unit provisioned and read back from the targets themselves, a station killed in the
// middle and started again, Ctrl-C.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/Target.h"
#include "net/Wire.h"
#include "platform/Format.h"
#include "tests/common/RunProgram.h"
#include "tests/common/TempFiles.h"
#include "tests/common/TestImage.h"
#include "tools/qor-sim/SimEngine.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace qor::test {
namespace {

using Json = nlohmann::json;

// Every line of a record, each of which must parse on its own.
std::vector<Json> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<Json> lines;
  for (std::string line; std::getline(in, line);) {
    EXPECT_FALSE(line.empty() || line.back() == '\r') << "LF line ends only";
    const Json parsed = Json::parse(line, nullptr, false);
    EXPECT_TRUE(parsed.is_object()) << line;
    if (parsed.is_object()) lines.push_back(parsed);
  }
  return lines;
}

#ifndef _WIN32
// The start and end lines of a record still being written: whole lines only, as it may be read
// in the middle of a write.
std::pair<size_t, size_t> LinesSoFar(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t starts = 0;
  size_t ends = 0;
  for (size_t at = 0, next = 0; (next = text.find('\n', at)) != std::string::npos; at = next + 1) {
    if (text.compare(at, 16, "{\"event\":\"start\"") == 0) ++starts;
    if (text.compare(at, 14, "{\"event\":\"end\"") == 0) ++ends;
  }
  return {starts, ends};
}
#endif

class QorctlProvisionTest : public ::testing::Test {
 protected:
  void StartSim(sim::SimOptions options) {
    engine = std::make_unique<sim::SimEngine>(std::move(options));
    engine->Start();
  }

  ProgramRun Provision(const std::vector<std::string>& extra, const ProgramOptions& options = {}) {
    std::vector<std::string> arguments = {"provision", script, "--record", record};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunProgram(QORCTL_PATH, arguments, options);
  }

  TempFiles files;
  std::string script = files.Write("line.qor", kStationScript);
  std::string record = files.Folder() + "/record.jsonl";
  std::unique_ptr<sim::SimEngine> engine;
};

// 64 targets without an address, put on the line one by one: each gets its own address, its
// image, its own values, and a record.
TEST_F(QorctlProvisionTest, SixtyFourUnassignedTargetsEachGetTheirOwnAddressImageAndValues) {
  sim::SimOptions options;
  options.targets = 64;
  options.firstAddress = 0;
  options.appearEveryMs = 25;
  StartSim(options);
  std::string rows = "serial,hostname\n";
  for (int i = 1; i <= 70; ++i) rows += Format("SN%04d,unit-%02d\n", i, i);
  const std::string values = files.Write("values.csv", rows);
  const ProgramRun run =
      Provision({"--addresses", "127.0.1.1-127.0.1.254", "--jobs", "8", "--count", "64",
                 "--unit-values", values, "--json", "--csv", files.Folder() + "/ends.csv"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Stopped: 64 units have passed (--count)"), std::string::npos) << run.err;

  const std::vector<Json> lines = Lines(record);
  ASSERT_EQ(lines.size(), 128u);
  std::map<std::string, Json> ends;
  for (const Json& line : lines) {
    if (line.at("event") == "end") ends[line.at("mac")] = line;
  }
  ASSERT_EQ(ends.size(), 64u);
  // Standard output holds the same end records, one per line.
  std::istringstream printed(run.out);
  size_t count = 0;
  for (std::string line; std::getline(printed, line); ++count) {
    const Json end = Json::parse(line);
    EXPECT_EQ(end, ends.at(end.at("mac")));
  }
  EXPECT_EQ(count, 64u);

  // Read back from the targets themselves.
  std::set<uint32_t> addresses;
  std::set<std::string> serials;
  for (const sim::SimTargetInfo& target : engine->Targets()) {
    const std::string mac = target.mac.ToString();
    SCOPED_TRACE(mac);
    ASSERT_TRUE(ends.contains(mac));
    const Json& end = ends.at(mac);
    EXPECT_EQ(end.at("outcome"), "passed");
    EXPECT_TRUE(end.at("ip_before").is_null());
    EXPECT_GE(target.ipAddress, *ParseIpAddress("127.0.1.1"));
    EXPECT_LE(target.ipAddress, *ParseIpAddress("127.0.1.254"));
    EXPECT_EQ(end.at("ip_after"), IpAddressText(target.ipAddress));
    addresses.insert(target.ipAddress);
    EXPECT_EQ(engine->ReadMemory(target.mac, 0x10000, 0x800), ImageBytes());
    EXPECT_EQ(target.restarts, 1u);
    const auto environment = engine->Environment(target.mac);
    EXPECT_EQ(environment.at("serial"), end.at("unit_values").at("serial"));
    EXPECT_EQ(environment.at("hostname"), end.at("unit_values").at("hostname"));
    serials.insert(environment.at("serial"));
    // Rows go out in the order the units came, so labels can be printed in advance.
    EXPECT_EQ(environment.at("serial"), Format("SN%04u", unsigned{target.mac.bytes[5]}));
    EXPECT_EQ(end.at("product_name"), "Demo Board");
    EXPECT_EQ(end.at("images").size(), 1u);
    EXPECT_EQ(end.at("script_sha256").get<std::string>().size(), 64u);
  }
  EXPECT_EQ(addresses.size(), 64u) << "an address given twice";
  EXPECT_EQ(serials.size(), 64u) << "a row given twice";

  std::ifstream csv(files.Folder() + "/ends.csv", std::ios::binary);
  const std::string csvText((std::istreambuf_iterator<char>(csv)), {});
  EXPECT_EQ(std::count(csvText.begin(), csvText.end(), '\n'), 65);
  EXPECT_EQ(std::count(csvText.begin(), csvText.end(), '\r'), 65);
}

// kill -9 in the middle, then start again: the job gets done, no passed unit is run again, every
// interrupted one is, and no address is given twice.
TEST_F(QorctlProvisionTest, KilledInTheMiddleAndStartedAgainItFinishesTheJob) {
#ifdef _WIN32
  GTEST_SKIP() << "kill -9 is the POSIX part of this; the record's flushing is the same";
#else
  sim::SimOptions options;
  options.targets = 64;
  options.firstAddress = 0;
  options.replyDelayMs = 10;  // so that the kill finds units in flight
  StartSim(options);
  const std::vector<std::string> arguments = {QORCTL_PATH,
                                              "provision",
                                              script,
                                              "--record",
                                              record,
                                              "--addresses",
                                              "127.0.1.1-127.0.1.254",
                                              "--jobs",
                                              "8",
                                              "--count",
                                              "64",
                                              "--idle",
                                              "60"};
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  // Killed once some units have passed, while others are in flight (they go in batches: each
  // of the same steps at the same time).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const auto [starts, ends] = LinesSoFar(record);
    if ((ends >= 16 && starts > ends) || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  const std::vector<Json> before = Lines(record);
  std::set<std::string> passed;
  std::set<std::string> interrupted;
  for (const Json& line : before) {
    const std::string mac = line.at("mac");
    if (line.at("event") == "start") interrupted.insert(mac);
    if (line.at("event") == "end") {
      EXPECT_EQ(line.at("outcome"), "passed");
      interrupted.erase(mac);
      passed.insert(mac);
    }
  }
  ASSERT_GE(passed.size(), 16u);
  ASSERT_LT(passed.size(), 64u) << "killed too late to tell";
  ASSERT_FALSE(interrupted.empty()) << "no unit was in flight";

  ProgramOptions again;
  again.killAfterSeconds = 60;
  const ProgramRun resumed =
      RunProgram(QORCTL_PATH,
                 {"provision", script, "--record", record, "--addresses", "127.0.1.1-127.0.1.254",
                  "--jobs", "8", "--count", "64", "--idle", "60"},
                 again);
  ASSERT_EQ(resumed.status, 0) << resumed.err;

  const std::vector<Json> after = Lines(record);
  ASSERT_GE(after.size(), before.size());
  std::map<std::string, int> passes;
  std::map<std::string, std::set<std::string> > givenTo;  // address: MACs
  std::set<std::string> restarted;
  for (size_t i = 0; i < after.size(); ++i) {
    const Json& line = after[i];
    const std::string mac = line.at("mac");
    if (line.at("event") == "start") {
      givenTo[line.at("ip")].insert(mac);
      if (i >= before.size()) restarted.insert(mac);
    } else if (line.at("outcome") == "passed") {
      ++passes[mac];
    }
  }
  EXPECT_EQ(passes.size(), 64u);
  for (const auto& [mac, times] : passes) EXPECT_EQ(times, 1) << mac << " passed twice";
  for (const std::string& mac : passed) EXPECT_FALSE(restarted.contains(mac)) << mac;
  for (const std::string& mac : interrupted) EXPECT_TRUE(restarted.contains(mac)) << mac;
  for (const auto& [address, macs] : givenTo) EXPECT_EQ(macs.size(), 1u) << address;
  std::set<uint32_t> held;
  for (const sim::SimTargetInfo& target : engine->Targets()) {
    held.insert(target.ipAddress);
    EXPECT_EQ(engine->ReadMemory(target.mac, 0x10000, 0x800), ImageBytes());
  }
  EXPECT_EQ(held.size(), 64u);
#endif
}

TEST_F(QorctlProvisionTest, AScriptWithWarningsDoesNotStartAndCtrlCCancelsWhatIsInFlight) {
  sim::SimOptions options;
  options.targets = 3;
  options.keepTrace = true;
  options.lossRate = 1.0;
  options.lossTypes = {kRestartRequest};  // the targets restart without a word
  StartSim(options);
  const std::string typo = files.Write("typo.qor", std::string(kStationScript) + "*restrat\n");
  const ProgramRun refused =
      RunProgram(QORCTL_PATH, {"provision", typo, "--record", record, "--idle", "1"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Not started: \"" + typo +
                             "\" draws 1 warning, and provision runs only scripts without any "
                             "(--allow-warnings runs it all the same)\n"),
            std::string::npos)
      << refused.err;
  EXPECT_TRUE(engine->Trace().empty()) << "nothing was sent";

  ProgramOptions ctrlC;
  ctrlC.interruptAfterSeconds = 2;
  const ProgramRun cancelled = Provision({"--silence", "60"}, ctrlC);
  EXPECT_EQ(cancelled.status, 130) << cancelled.err;
  EXPECT_NE(cancelled.out.find("Cancelled\n"), std::string::npos) << cancelled.out;
  const std::vector<Json> lines = Lines(record);
  ASSERT_EQ(lines.size(), 6u);
  for (const Json& line : lines) {
    if (line.at("event") != "end") continue;
    EXPECT_EQ(line.at("outcome"), "cancelled");
    EXPECT_EQ(line.at("error"), "Cancelled");
    EXPECT_TRUE(line.at("restart_confirmed").is_null());
  }
  for (const sim::SimTargetInfo& target : engine->Targets()) {
    EXPECT_EQ(engine->ReadMemory(target.mac, 0x10000, 0x800), ImageBytes());
  }
}

}  // namespace
}  // namespace qor::test
