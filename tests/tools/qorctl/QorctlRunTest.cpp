// The real qorctl program against simulated targets, inside this test's private network
// namespace: exit statuses, texts, JSON and what lands in the targets.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "net/Crc32.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/Format.h"
#include "tests/common/RunProgram.h"
#include "tests/common/SocketTestSupport.h"
#include "tests/common/TempFiles.h"
#include "tests/common/TestImage.h"
#include "tests/tools/qorctl/TrustingQorctl.h"
#include "tools/qor-sim/SimEngine.h"

namespace qor::test {
namespace {

using Outcome = ProgramRun;

class QorctlRunTest : public ::testing::Test {
 protected:
  void StartSim(sim::SimOptions options) {
    engine = std::make_unique<sim::SimEngine>(std::move(options));
    engine->Start();
  }

  // Runs qorctl with arguments (words apart by spaces) and collects what it printed.
  static Outcome Qorctl(const std::string& arguments, const ProgramOptions& options = {}) {
    std::vector<std::string> words;
    std::istringstream split(arguments);
    for (std::string word; split >> word;) words.push_back(word);
    return RunProgram(QORCTL_PATH, words, options);
  }

  // The --json summary: one object per line, gathered into an array.
  static nlohmann::json Summary(const std::string& out) {
    nlohmann::json lines = nlohmann::json::array();
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
      lines.push_back(nlohmann::json::parse(line));
    return lines;
  }

  static MacAddress Mac(uint8_t last) { return MacAddress{{0x02, 0x00, 0x00, 0x00, 0x00, last}}; }

  TempFiles files;
  std::unique_ptr<sim::SimEngine> engine;
};

constexpr const char* kImageScript =
    "*section \"Parameter table\"\n"
    "*download 0x00010000 0x800\n"
    "S30D000100000102030405060708CD\n"
    "S30900010600CAFEBABEAF\n";

TEST_F(QorctlRunTest, RunsOnEightTargetsAtOnceWithAll) {
  sim::SimOptions options;
  options.targets = 8;
  options.progressReplies = 3;
  StartSim(options);
  const std::string script = files.Write("table.qor", kImageScript);
  const Outcome run = Qorctl("run " + script + " --all --wait 300 --json");
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json summary = Summary(run.out);
  ASSERT_EQ(summary.size(), 8u);
  for (uint8_t i = 1; i <= 8; ++i) {
    EXPECT_EQ(engine->ReadMemory(Mac(i), 0x10000, 0x800), ImageBytes()) << "target " << int{i};
  }
  std::set<std::string> macs;
  for (const auto& entry : summary) {
    EXPECT_EQ(entry.at("ok"), true);
    EXPECT_TRUE(entry.at("error").is_null());
    EXPECT_GE(entry.at("seconds").get<double>(), 0.0);
    macs.insert(entry.at("mac").get<std::string>());
  }
  EXPECT_EQ(macs.size(), 8u);
  // Progress went to standard error, one line per change, naming each target.
  EXPECT_NE(run.err.find("02:00:00:00:00:08  Parameter table: Sending 00010400"), std::string::npos)
      << run.err;

  // A few at a time, each end recorded as qorctl provision records it, the same as printed.
  const std::string record = files.Folder() + "/run.jsonl";
  const Outcome jobs =
      Qorctl("run " + script + " --all --wait 300 --jobs 3 --json --record " + record);
  ASSERT_EQ(jobs.status, 0) << jobs.err;
  std::ifstream recorded(record, std::ios::binary);
  const std::string recordText((std::istreambuf_iterator<char>(recorded)), {});
  EXPECT_EQ(recordText, jobs.out);
  const nlohmann::json ends = Summary(jobs.out);
  ASSERT_EQ(ends.size(), 8u);
  for (const auto& end : ends) {
    const MacAddress mac = *MacAddress::Parse(end.at("mac").get<std::string>());
    EXPECT_EQ(end.at("event"), "end");
    EXPECT_EQ(end.at("ok"), true);
    EXPECT_EQ(end.at("outcome"), "passed");
    EXPECT_EQ(end.at("vendor"), 0x1234);
    EXPECT_EQ(end.at("ip_before"), end.at("ip_after"));
    EXPECT_EQ(end.at("ip_after"), IpAddressText(engine->FindTarget(mac)->ipAddress));
    EXPECT_EQ(end.at("script_sha256").get<std::string>().size(), 64u);
    EXPECT_EQ(end.at("images").at(0).at("crc32"), Crc32(0x800, ImageBytes().data()));
    EXPECT_GT(end.at("bytes_sent").get<uint64_t>(), 0x800u);
    EXPECT_EQ(end.at("resends"), 0);
    EXPECT_LE(end.at("started").get<std::string>(), end.at("ended").get<std::string>());
  }
}

TEST_F(QorctlRunTest, TickPaceRunsOneTargetAndShowsEachChange) {
  StartSim({});
  const std::string script = files.Write("table.qor", kImageScript);
  const Outcome run =
      Qorctl("run " + script + " --target 02-00-00-00-00-01 --pace tick --wait 200");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(engine->ReadMemory(Mac(1), 0x10000, 0x800), ImageBytes());
  std::istringstream lines(run.out);
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) seen.push_back(line);
  ASSERT_EQ(seen.size(), 5u) << run.out;
  EXPECT_EQ(seen[0], "02:00:00:00:00:01  Parameter table: Filling buffer");
  EXPECT_EQ(seen[1], "02:00:00:00:00:01  Parameter table: Sending 00010000");
  EXPECT_EQ(seen[2], "02:00:00:00:00:01  Parameter table: Sending 00010400");
  EXPECT_EQ(seen[3], "02:00:00:00:00:01  Parameter table: Writing");
  EXPECT_EQ(seen[4].rfind("02:00:00:00:00:01  done in ", 0), 0u) << seen[4];
}

TEST_F(QorctlRunTest, ADirectiveErrorPrintsItsTextExactlyAndFails) {
  sim::SimOptions options;
  options.stagingSize = 0x400;
  StartSim(options);
  const std::string script = files.Write("table.qor", kImageScript);
  const Outcome run = Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200 --json");
  EXPECT_EQ(run.status, 1);
  const std::string text =
      "QOR does not yet support multi-part downloads; download of 2048 bytes is too large for "
      "target's 1024-byte staging buffer";
  // On a line of its own, as the message box shows it.
  EXPECT_EQ(run.err.substr(0, text.size() + 1), text + "\n") << run.err;
  const nlohmann::json summary = Summary(run.out);
  EXPECT_EQ(summary.at(0).at("ok"), false);
  EXPECT_EQ(summary.at(0).at("error"), text);
}

TEST_F(QorctlRunTest, AWriteTheTargetRefusedStopsTheRunBeforeTheRestart) {
  sim::SimOptions options;
  options.failures[kWriteRequest] = 3;
  StartSim(options);
  const std::string script = files.Write("table.qor", std::string(kImageScript) + "*restart\n");
  const Outcome run = Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200 --json");
  EXPECT_EQ(run.status, 1);
  const std::string text = "Target refused the WriteRequest for 00010000 (status 3)";
  EXPECT_NE(run.err.find(text + "\n"), std::string::npos) << run.err;
  const nlohmann::json summary = Summary(run.out);
  EXPECT_EQ(summary.at(0).at("ok"), false);
  EXPECT_EQ(summary.at(0).at("error"), text);
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 0u) << "a refused write is never restarted";
}

TEST_F(QorctlRunTest, AScriptForAnotherProductIsRefusedOrSkippedUnlessForced) {
  sim::SimOptions options;
  options.targets = 2;
  StartSim(options);
  const std::string script = files.Write(
      "plus.qor", std::string("*product 0x1234 2 Plus\n*script 0x1234 2 Plus\n") + kImageScript);
  const std::vector<uint8_t> blank(0x800, 0xFF);

  const Outcome one = Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200");
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(one.err,
            "Target 02:00:00:00:00:01 is product 0x1234:0x0001, which the script's *script "
            "entries do not name; --force runs it anyway\n");
  EXPECT_EQ(engine->ReadMemory(Mac(1), 0x10000, 0x800), blank);

  const Outcome all = Qorctl("run " + script + " --all --wait 300");
  EXPECT_EQ(all.status, 1);
  EXPECT_NE(all.err.find("Skipped 02:00:00:00:00:02: product 0x1234:0x0001"), std::string::npos)
      << all.err;
  EXPECT_EQ(all.out, "0 succeeded, 0 failed, 0 refused, 2 skipped\n");
  EXPECT_EQ(engine->ReadMemory(Mac(2), 0x10000, 0x800), blank);

  const Outcome forced = Qorctl("run " + script + " --all --force --wait 300 --json");
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(Summary(forced.out).size(), 2u);
  // With --json the tally goes with the progress, to standard error.
  EXPECT_NE(forced.err.find("2 succeeded, 0 failed, 0 refused, 0 skipped\n"), std::string::npos);
  EXPECT_EQ(engine->ReadMemory(Mac(2), 0x10000, 0x800), ImageBytes());
}

// With a trusted key, run refuses a script an image of which is not signed before it sends
// anything, with the desktop program's text; --allow-unsigned runs it this once.
TEST_F(QorctlRunTest, WithATrustedKeyAnUnsignedImageIsRefusedBeforeAnythingIsSent) {
  StartSim({});
  const TrustingQorctl qorctl;
  CopySignedScript(files.Folder());
  std::filesystem::remove(std::filesystem::path(files.Folder()) / "fw.bin.minisig");
  const std::vector<std::string> run = {"run",    "x.QOR", "--target", "02:00:00:00:00:01",
                                        "--wait", "200"};
  const Outcome refused = qorctl.Run(run, files.Folder());
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "Image fw.bin of x.QOR is not signed\n");
  EXPECT_EQ(engine->ReadMemory(Mac(1), 0x1000, 8), std::vector<uint8_t>(8, 0xFF));

  std::vector<std::string> allowed = run;
  allowed.push_back("--allow-unsigned");
  const Outcome forced = qorctl.Run(allowed, files.Folder());
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(engine->ReadMemory(Mac(1), 0x1000, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 1u);

  CopySignedFixture(files.Folder(), "fw.bin.minisig", "fw.bin.minisig");
  const Outcome signed_ = qorctl.Run(run, files.Folder());
  EXPECT_EQ(signed_.status, 0) << signed_.err;
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 2u);
}

TEST_F(QorctlRunTest, VerifyReadsTheImageBackBeforeTheScriptGoesOn) {
  StartSim({});
  const std::string script = files.Write("table.qor", std::string(kImageScript) + "*restart\n");
  const Outcome verified =
      Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200 --verify --pace tick");
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_NE(verified.out.find("Parameter table: Verifying 00010400"), std::string::npos)
      << verified.out;
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 1u);
  engine.reset();

  // A target that cannot read its memory back fails the verification: no restart.
  sim::SimOptions options;
  options.failures[kReadRequest] = 0xFF;
  StartSim(options);
  const Outcome refused =
      Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200 --verify --json");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(Summary(refused.out).at(0).at("error"),
            "Target refused the ReadRequest for 00010000 (status 255)");
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 0u);
}

TEST_F(QorctlRunTest, ASilentTargetFailsTheRunAndALossyOneNeverHangsIt) {
  sim::SimOptions silent;
  silent.lossRate = 1.0;
  silent.lossTypes = {kWriteRequest};
  StartSim(silent);
  const std::string script =
      files.Write("table.qor", std::string(kImageScript) + "*loadenv 0xF00000 0x1000\n*restart\n");
  const Outcome quiet =
      Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200 --write-silence 0.3 --json");
  EXPECT_EQ(quiet.status, 1);
  const nlohmann::json summary = Summary(quiet.out);
  EXPECT_EQ(summary.at(0).at("error"),
            "Target has not answered the WriteRequest for 00010000 for 0.3 seconds");
  EXPECT_LT(summary.at(0).at("seconds").get<double>(), 2.0);
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 0u);
  engine.reset();

  // Three in ten replies to every request of a run lost: each run finishes with every byte in
  // place, or fails with the silence error within its limit; --timeout would show a hang.
  sim::SimOptions lossy;
  lossy.targets = 6;
  lossy.lossRate = 0.3;
  lossy.lossTypes = {kFillRequest, kDataRequest, kWriteRequest, kReadRequest, kRestartRequest};
  lossy.seed = 7;
  StartSim(lossy);
  const Outcome run = Qorctl("run " + script +
                             " --all --wait 400 --silence 2.5 --write-silence 2.5 --timeout 60 "
                             "--json");
  const nlohmann::json runs = Summary(run.out);
  ASSERT_EQ(runs.size(), 6u) << run.err;
  for (const auto& entry : runs) {
    const MacAddress mac = *MacAddress::Parse(entry.at("mac").get<std::string>());
    if (entry.at("ok") == true) {
      EXPECT_EQ(engine->ReadMemory(mac, 0x10000, 0x800), ImageBytes());
      EXPECT_EQ(engine->FindTarget(mac)->restarts, 1u);
      continue;
    }
    const std::string error = entry.at("error").get<std::string>();
    EXPECT_EQ(error.rfind("Target has not answered the ", 0), 0u) << error;
    EXPECT_NE(error.find(" for 2.5 seconds"), std::string::npos) << error;
  }
}

TEST_F(QorctlRunTest, AssignRefusesAnAddressHeldByAnotherTargetOrNoTargetCanTake) {
  sim::SimOptions options;
  options.targets = 2;
  StartSim(options);
  struct Row {
    const char* address;
    const char* message;
  };
  const Row rows[] = {
      {"0.0.0.0", "0.0.0.0 stands for no address at all"},
      {"255.255.255.255", "255.255.255.255 is the broadcast address of every network"},
      {"0.1.2.3", "0.1.2.3 is reserved: 0.0.0.0/8 stands for this network"},
      {"224.0.0.1", "224.0.0.1 is a multicast address (224.0.0.0/4)"},
      {"239.255.255.255", "239.255.255.255 is a multicast address (224.0.0.0/4)"},
      {"240.0.0.1", "240.0.0.1 is reserved for future use (240.0.0.0/4)"},
  };
  for (const Row& row : rows) {
    // --force overrides only the check for a duplicate.
    const Outcome refused =
        Qorctl(std::string("assign 02:00:00:00:00:01 ") + row.address + " --force --wait 100");
    EXPECT_EQ(refused.status, 1) << row.address;
    EXPECT_EQ(refused.err, std::string("Cannot give 02:00:00:00:00:01 the address ") + row.address +
                               ": " + row.message + ".\n");
  }
  EXPECT_EQ(engine->FindTarget(Mac(1))->ipAddress, 0x7F00000Au);

  const Outcome taken = Qorctl("assign 02:00:00:00:00:01 127.0.0.11 --wait 300");
  EXPECT_EQ(taken.status, 1);
  EXPECT_EQ(taken.err,
            "02:00:00:00:00:02 already holds 127.0.0.11; --force assigns it all the "
            "same.\n");
  EXPECT_EQ(engine->FindTarget(Mac(1))->ipAddress, 0x7F00000Au) << "nothing was sent";

  // Its own address is no conflict; another target's is, until forced.
  EXPECT_EQ(Qorctl("assign 02:00:00:00:00:01 127.0.0.10 --wait 300").status, 0);
  const Outcome forced = Qorctl("assign 02:00:00:00:00:01 127.0.0.11 --force --verify --wait 300");
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(forced.err,
            "02:00:00:00:00:02 already holds 127.0.0.11; assigning it all the same "
            "(--force).\n");
  EXPECT_EQ(engine->FindTarget(Mac(1))->ipAddress, 0x7F00000Bu);
}

TEST_F(QorctlRunTest, AssignFromAPoolGivesTheFirstFreeAddressOnceAndThenNothing) {
  sim::SimOptions options;
  options.targets = 4;
  options.unassigned = 2;  // 127.0.0.10 and .11 are held; 03 and 04 have none
  StartSim(options);
  const std::string pool = " --pool 127.0.0.10-127.0.0.20 --json --wait 300";
  const auto assign = [&](uint8_t last, const std::string& more) {
    const Outcome outcome = Qorctl(Format("assign 02:00:00:00:00:%02X", last) + pool + more);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    return outcome.status == 0 ? nlohmann::json::parse(outcome.out) : nlohmann::json();
  };
  struct Row {
    uint8_t last;
    const char* more;
    const char* json;
    uint32_t after;  // the target's address once done
  };
  const Row rows[] = {
      {3, " --dry-run",
       R"({"mac":"02:00:00:00:00:03","address":"127.0.0.12","before":null,"changed":true,
           "confirmed":null})",
       0},
      {3, " --verify",
       R"({"mac":"02:00:00:00:00:03","address":"127.0.0.12","before":null,"changed":true,
           "confirmed":true})",
       0x7F00000C},
      {4, "",
       R"({"mac":"02:00:00:00:00:04","address":"127.0.0.13","before":null,"changed":true,
           "confirmed":null})",
       0x7F00000D},
      // Each keeps the pool's address it holds: nothing is sent again.
      {3, "",
       R"({"mac":"02:00:00:00:00:03","address":"127.0.0.12","before":"127.0.0.12",
           "changed":false,"confirmed":null})",
       0x7F00000C},
      {1, "",
       R"({"mac":"02:00:00:00:00:01","address":"127.0.0.10","before":"127.0.0.10",
           "changed":false,"confirmed":null})",
       0x7F00000A},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(assign(row.last, row.more), nlohmann::json::parse(row.json));
    EXPECT_EQ(engine->FindTarget(Mac(row.last))->ipAddress, row.after);
  }

  const Outcome exhausted =
      Qorctl("assign 02:00:00:00:00:01 --pool 127.0.0.11-127.0.0.13 --wait 300");
  EXPECT_EQ(exhausted.status, 1);
  EXPECT_EQ(exhausted.err,
            "The address pool 127.0.0.11-127.0.0.13 is exhausted: every address is held or "
            "given\n");
  EXPECT_EQ(engine->FindTarget(Mac(1))->ipAddress, 0x7F00000Au) << "nothing was sent";
  const Outcome absent = Qorctl("assign 02:00:00:00:00:09 --pool 127.0.0.10-127.0.0.20 --wait 200");
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.err,
            "02:00:00:00:00:09 did not answer the discovery; the pool gives addresses only to "
            "targets that answer.\n");
  for (const char* usage : {"assign 02:00:00:00:00:01",
                            "assign 02:00:00:00:00:01 127.0.0.30 "
                            "--pool 127.0.0.10-127.0.0.20"}) {
    EXPECT_EQ(Qorctl(usage).status, 2) << usage;
  }
  const Outcome reversed = Qorctl("assign 02:00:00:00:00:01 --pool 127.0.0.20-127.0.0.10");
  EXPECT_EQ(reversed.status, 1);
  EXPECT_NE(reversed.err.find("The range 127.0.0.20-127.0.0.10 begins after it ends"),
            std::string::npos)
      << reversed.err;
}

TEST_F(QorctlRunTest, RefusesATargetWithoutAnAddressAndRunsTheOthers) {
  sim::SimOptions options;
  options.targets = 2;
  options.unassigned = 1;
  StartSim(options);
  const std::string script = files.Write("table.qor", kImageScript);
  const Outcome run = Qorctl("run " + script + " --all --product 0x1234:1 --wait 300 --json");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("02:00:00:00:00:02: Target 02:00:00:00:00:02 has no IP address"),
            std::string::npos)
      << run.err;
  // Said once: the target's own line tells only that it was refused.
  EXPECT_EQ(run.err.find("no IP address"), run.err.rfind("no IP address")) << run.err;
  EXPECT_NE(run.err.find("\n02:00:00:00:00:02  refused\n"), std::string::npos) << run.err;
  EXPECT_EQ(engine->ReadMemory(Mac(1), 0x10000, 0x800), ImageBytes());
  const nlohmann::json summary = Summary(run.out);
  ASSERT_EQ(summary.size(), 2u);
  EXPECT_EQ(summary.at(0).at("ok"), true);
  EXPECT_EQ(summary.at(1).at("ok"), false);

  const Outcome other = Qorctl("run " + script + " --all --product 4660:2 --wait 200");
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("No target of product 0x1234:0x0002 answered the discovery"),
            std::string::npos);
}

TEST_F(QorctlRunTest, TimeoutAndCtrlCCancelARunThatWaitsForever) {
  sim::SimOptions options;
  options.lossRate = 1.0;
  options.lossTypes = {kRestartRequest};  // the target restarts without answering
  StartSim(options);
  // --target starts the run as soon as the target answers: a long wait costs nothing, and a
  // busy machine still finds the target.
  const std::string script = files.Write("restart.qor", "*restart\n");
  const Outcome timedOut =
      Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 2000 --timeout 0.5 --json");
  EXPECT_EQ(timedOut.status, 1);
  const nlohmann::json summary = Summary(timedOut.out);
  EXPECT_EQ(summary.at(0).at("error"), "Timed out after 0.5 seconds; the run was cancelled");

  ProgramOptions ctrlC;
  ctrlC.interruptAfterSeconds = 1.5;
  const Outcome interrupted =
      Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 2000", ctrlC);
  EXPECT_EQ(interrupted.status, 130) << interrupted.err;
  EXPECT_NE(interrupted.out.find("cancelled after"), std::string::npos) << interrupted.out;

  // A limit shorter than a millisecond is still a limit, not "none".
  ProgramOptions tenSeconds;
  tenSeconds.killAfterSeconds = 10;
  const Outcome tiny =
      Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 2000 --timeout 0.0004 --json",
             tenSeconds);
  EXPECT_EQ(tiny.status, 1);
  EXPECT_EQ(Summary(tiny.out).at(0).at("error"),
            "Timed out after 0.0004 seconds; the run was cancelled");
}

TEST_F(QorctlRunTest, TheTraceHoldsEveryRequestSentAndReplyReceivedAsTheTargetsSawThem) {
  sim::SimOptions options;
  options.targets = 2;
  options.progressReplies = 2;
  options.keepTrace = true;
  StartSim(options);
  const std::string script = files.Write("table.qor", std::string(kImageScript) + "*restart\n");
  const std::string trace = files.Folder() + "/run.jsonl";
  const Outcome run = Qorctl("run " + script + " --all --wait 300 --trace " + trace);
  ASSERT_EQ(run.status, 0) << run.err;

  // (direction as the host sees it, type, MAC, request id) of every message, in order.
  using Key = std::tuple<std::string, std::string, std::string, int64_t>;
  std::multiset<Key> host, targets;
  std::ifstream lines(trace);
  std::set<std::string> typesSeen;
  uint64_t lastTime = 0;
  for (std::string text; std::getline(lines, text);) {
    const nlohmann::json line = nlohmann::json::parse(text);
    const std::string type = line.at("type");
    typesSeen.insert(type);
    EXPECT_GE(line.at("t").get<uint64_t>(), lastTime) << text;
    lastTime = line.at("t");
    const bool out = line.at("dir") == "out";
    EXPECT_EQ(line.at("event"), out ? "sent" : "received") << text;
    EXPECT_EQ(line.at(out ? "to" : "from")
                  .get<std::string>()
                  .substr(line.at(out ? "to" : "from").get<std::string>().find(':')),
              ":5266")
        << text;
    host.emplace(line.at("dir"), type, line.value("mac", ""), line.value("request_id", -1));
    // Each message's own fields, by name.
    if (type == "WriteRequest") {
      EXPECT_EQ(line.at("fields").at("address"), 0x10000) << text;
      EXPECT_EQ(line.at("fields").at("length"), 0x800) << text;
      EXPECT_TRUE(line.at("fields").contains("crc")) << text;
    } else if (type == "DiscoverReply") {
      EXPECT_EQ(line.at("fields").at("vendor"), 0x1234) << text;
      EXPECT_EQ(line.at("fields").at("ip").get<std::string>().rfind("127.0.0.1", 0), 0u) << text;
    } else if (type == "ProgressReply") {
      EXPECT_TRUE(line.contains("value")) << text;
    } else if (type == "FinalReply") {
      EXPECT_EQ(line.at("status"), 0) << text;
    }
  }
  EXPECT_EQ(typesSeen, (std::set<std::string>{"DiscoverRequest", "DiscoverReply", "FillRequest",
                                              "DataRequest", "WriteRequest", "RestartRequest",
                                              "FinalReply", "ProgressReply"}));
  for (const TraceRecord& record : engine->Trace()) {
    if (record.event != "handled" && record.event != "sent") continue;
    targets.emplace(record.incoming ? "out" : "in", wire::MessageTypeName(record.type),
                    record.mac ? record.mac->ToString() : "",
                    record.requestId ? int64_t{*record.requestId} : -1);
  }
  EXPECT_EQ(host, targets);
}

// Whether text holds line as a whole line of its own.
bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream lines(text);
  for (std::string each; std::getline(lines, each);) {
    if (each == line) return true;
  }
  return false;
}

// How many requests of type the simulated targets carried out.
size_t Handled(const sim::SimEngine& engine, uint16_t type) {
  size_t count = 0;
  for (const TraceRecord& record : engine.Trace()) {
    if (record.incoming && record.type == type && record.event == "handled") ++count;
  }
  return count;
}

constexpr const char* kEditScript =
    "*loadenv 0x00F00000 0x1000\n"
    "*setenv hostname qor-demo\n"
    "*saveenv 0x00F00000 0x1000\n";

TEST_F(QorctlRunTest, SaveenvNeverLeavesATargetWithoutAVariable) {
  using Entries = std::map<std::string, std::string>;
  const Entries starting = {{"bootdelay", "3"},
                            {"ipaddr", "127.0.0.10"},
                            {"netmask", "255.0.0.0"},
                            {"serial", "SIM00001"}};
  Entries edited = starting;
  edited["hostname"] = "qor-demo";
  const std::string damaged =
      "The environment block at 00F00000 was damaged when read; writing it would lose its "
      "variables";
  struct Row {
    const char* what;
    sim::SimEnvBlock block;
    std::string script;
    std::string flags;
    int status;
    std::string error;     // the run's error; empty when it finishes
    bool environmentKept;  // the block is byte for byte as it started
    Entries after;         // what a finished run left on the target
  };
  const std::vector<Row> rows = {
      {"a valid block", sim::SimEnvBlock::kValid, kEditScript, "", 0, "", false, edited},
      {"a blank block gets its new environment",
       sim::SimEnvBlock::kBlank,
       kEditScript,
       "",
       0,
       "",
       false,
       {{"hostname", "qor-demo"}}},
      {"a damaged block is refused",
       sim::SimEnvBlock::kDamaged,
       kEditScript,
       "",
       1,
       damaged,
       true,
       {}},
      {"a damaged block is repaired on purpose",
       sim::SimEnvBlock::kDamaged,
       kEditScript,
       " --rewrite-damaged-env",
       0,
       "",
       false,
       {{"hostname", "qor-demo"}}},
      {"a table too large for the block is refused",
       sim::SimEnvBlock::kValid,
       "*loadenv 0x00F00000 0x1000\n*saveenv 0x00F00000 64\n",
       "",
       1,
       "Environment variables need 68 bytes; the block at 00F00000 holds 64",
       true,
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    engine.reset();
    sim::SimOptions options;
    options.environmentBlock = row.block;
    options.keepTrace = true;
    StartSim(options);
    const std::vector<uint8_t> before = engine->ReadMemory(Mac(1), 0xF00000, 0x1000);
    const std::string script = files.Write("env.qor", row.script);
    const Outcome run =
        Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200 --json" + row.flags);
    EXPECT_EQ(run.status, row.status) << run.err;
    const nlohmann::json summary = Summary(run.out);
    ASSERT_EQ(summary.size(), 1u) << run.out;
    if (row.error.empty()) {
      EXPECT_EQ(summary.at(0).at("ok"), true);
      EXPECT_EQ(engine->Environment(Mac(1)), row.after);
    } else {
      EXPECT_EQ(summary.at(0).at("error"), row.error);
      EXPECT_EQ(run.err.substr(0, row.error.size() + 1), row.error + "\n") << run.err;
      EXPECT_EQ(Handled(*engine, kFillRequest), 0u) << "a refusal sends nothing";
    }
    if (row.environmentKept) {
      EXPECT_EQ(engine->ReadMemory(Mac(1), 0xF00000, 0x1000), before);
    }
  }
}

TEST_F(QorctlRunTest, AnUnansweredRestartIsAWarningAndTheRunStillSucceeds) {
  sim::SimOptions silent;
  silent.targets = 2;
  silent.lossRate = 1.0;
  silent.lossTypes = {kRestartRequest};  // the targets restart without answering
  StartSim(silent);
  const std::string restart = files.Write("restart.qor", "*restart\n");
  const Outcome one =
      Qorctl("run " + restart + " --target 02:00:00:00:00:01 --wait 200 --silence 0.3 --json");
  EXPECT_EQ(one.status, 0) << one.err;
  // A line of its own, besides the target's status line among the progress.
  EXPECT_TRUE(HasLine(one.err, "Restart sent; the target did not answer")) << one.err;
  nlohmann::json summary = Summary(one.out);
  EXPECT_EQ(summary.at(0).at("ok"), true);
  EXPECT_TRUE(summary.at(0).at("error").is_null());
  EXPECT_EQ(summary.at(0).at("restart_confirmed"), false);
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 1u);

  // With several targets, the MAC in front tells whose restart went unanswered.
  const Outcome all = Qorctl("run " + restart + " --all --wait 300 --silence 0.3 --json");
  EXPECT_EQ(all.status, 0) << all.err;
  for (const char* mac : {"02:00:00:00:00:01", "02:00:00:00:00:02"}) {
    EXPECT_TRUE(HasLine(all.err, std::string(mac) + ": Restart sent; the target did not answer"))
        << all.err;
  }
  for (const auto& entry : Summary(all.out)) EXPECT_EQ(entry.at("restart_confirmed"), false);
  engine.reset();

  StartSim({});
  const Outcome answered =
      Qorctl("run " + restart + " --target 02:00:00:00:00:01 --wait 200 --json");
  EXPECT_EQ(answered.status, 0) << answered.err;
  EXPECT_EQ(answered.err.find("did not answer"), std::string::npos) << answered.err;
  EXPECT_EQ(Summary(answered.out).at(0).at("restart_confirmed"), true);
  const std::string noRestart = files.Write("table.qor", kImageScript);
  const Outcome without =
      Qorctl("run " + noRestart + " --target 02:00:00:00:00:01 --wait 200 --json");
  EXPECT_EQ(without.status, 0) << without.err;
  EXPECT_TRUE(Summary(without.out).at(0).at("restart_confirmed").is_null());
}

TEST_F(QorctlRunTest, RunShowsTheScriptsWarningsAndStrictRefusesToRunIt) {
  sim::SimOptions options;
  options.keepTrace = true;
  StartSim(options);
  // A typo: the reader ignores *restrat, so the target would never restart.
  const std::string script = files.Write("typo.qor", std::string(kImageScript) + "*restrat\n");
  const std::string warning =
      "Warning in \"" + script + "\", line 5: Unknown directive *restrat ignored\n";

  const Outcome strict =
      Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200 --strict");
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.err, warning + "Not run: \"" + script +
                            "\" draws 1 warning, and --strict runs only scripts without any\n");
  EXPECT_EQ(strict.out, "");
  EXPECT_TRUE(engine->Trace().empty()) << "nothing was sent, not even a discovery";

  const Outcome lenient = Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 200");
  EXPECT_EQ(lenient.status, 0) << lenient.err;
  EXPECT_EQ(lenient.err, warning) << "the warnings come before the run starts";
  EXPECT_EQ(engine->ReadMemory(Mac(1), 0x10000, 0x800), ImageBytes());
  EXPECT_EQ(engine->FindTarget(Mac(1))->restarts, 0u);

  // A script without warnings runs under --strict as ever.
  const std::string clean = files.Write("clean.qor", kImageScript);
  EXPECT_EQ(Qorctl("run " + clean + " --target 02:00:00:00:00:01 --wait 200 --strict").status, 0);
}

TEST_F(QorctlRunTest, AssignToAnAbsentMacIsRefusedAndDiscoverMarksSharedAddresses) {
  sim::SimOptions options;
  options.targets = 2;
  options.keepTrace = true;
  StartSim(options);
  const Outcome absent = Qorctl("assign 02:00:00:00:00:09 127.0.0.43 --wait 200");
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.err,
            "02:00:00:00:00:09 did not answer the discovery; --force sends the address all the "
            "same.\n");
  EXPECT_EQ(absent.out, "");
  const auto assignments = [this] {
    size_t count = 0;
    for (const TraceRecord& record : engine->Trace()) {
      if (record.incoming && record.type == kAssignAddressRequest) ++count;
    }
    return count;
  };
  EXPECT_EQ(assignments(), 0u) << "nothing was sent";
  const Outcome forced = Qorctl("assign 02:00:00:00:00:09 127.0.0.43 --wait 200 --force");
  EXPECT_EQ(forced.status, 0);
  EXPECT_EQ(forced.err,
            "02:00:00:00:00:09 did not answer the discovery; sending the address all the same "
            "(--force).\n");
  // qorctl does not wait for an answer here, so the simulator may still be reading the request.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (assignments() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(assignments(), 1u);

  // Two targets at one address: both are marked, and a warning names them.
  ASSERT_EQ(Qorctl("assign 02:00:00:00:00:02 127.0.0.10 --force --wait 200").status, 0);
  const Outcome listed = Qorctl("discover --wait 300 --json");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.err,
            "Several targets report 127.0.0.10: 02:00:00:00:00:01, 02:00:00:00:00:02\n");
  const nlohmann::json list = nlohmann::json::parse(listed.out);
  ASSERT_EQ(list.size(), 2u);
  for (const auto& entry : list) EXPECT_EQ(entry.at("duplicate_ip"), true) << entry;
  ASSERT_EQ(Qorctl("assign 02:00:00:00:00:02 127.0.0.11 --wait 200").status, 0);
  const Outcome apart = Qorctl("discover --wait 300 --json");
  EXPECT_EQ(apart.err, "");
  for (const auto& entry : nlohmann::json::parse(apart.out)) {
    EXPECT_EQ(entry.at("duplicate_ip"), false) << entry;
  }
}

TEST_F(QorctlRunTest, ATimeoutMustBeAFiniteNumberOfSeconds) {
  const std::string script = files.Write("restart.qor", "*restart\n");
  for (const char* value : {"nan", "inf", "1e300", "-1"}) {
    const Outcome outcome =
        Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 0 --timeout " + value);
    EXPECT_EQ(outcome.status, 2) << value;
    EXPECT_NE(outcome.err.find("--timeout must be"), std::string::npos) << outcome.err;
  }
}

TEST_F(QorctlRunTest, DiscoverSaysHowManyTargetsAFloodOfInventedMacsLeftOut) {
#ifdef _WIN32
  // Under wine each receive is a round trip to the wineserver: qorctl falls behind the flood's
  // pace and its queue, which wine cannot grow past net.core.rmem_max, overflows.
  GTEST_SKIP() << "wine's sockets are too slow for the flood";
#endif
  constexpr uint32_t kFlood = TargetTable::kMaxTargets + 600;
  std::thread flooder([] {
    test::Peer peer;
    uint32_t address = 0;
    uint16_t port = 0;
    if (peer.Receive(address, port, 5000).empty()) return;
    for (uint32_t i = 0; i < kFlood; ++i) {
      wire::DiscoverReply hello;
      hello.mac = MacAddress{{0x06, 0x66, 0, static_cast<uint8_t>(i >> 16),
                              static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}};
      hello.ipAddress = 0x7F000100;
      peer.SendTo(hello.Encode(), address, port);
      // Paced, so that no receive buffer overflows and every answer is counted.
      if (i % 200 == 199) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const Outcome listed = Qorctl("discover --wait 1500 --json");
  flooder.join();
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(nlohmann::json::parse(listed.out).size(), TargetTable::kMaxTargets);
  // Every invented target reports one address: the line about it names a few, not all.
  const std::string dropped = "Dropped 600 more targets: QOR keeps at most " +
                              std::to_string(TargetTable::kMaxTargets) + "\n";
  const std::string shared = "Several targets report 127.0.1.0: ";
  const std::string more = " and " + std::to_string(TargetTable::kMaxTargets - 8) + " more\n";
  EXPECT_EQ(listed.err.substr(0, dropped.size() + shared.size()), dropped + shared) << listed.err;
  ASSERT_GT(listed.err.size(), more.size());
  EXPECT_EQ(listed.err.substr(listed.err.size() - more.size()), more);
  EXPECT_EQ(std::count(listed.err.begin(), listed.err.end(), ':'), 1 + 1 + 8 * 5);
}

// Only the NAME=VALUE lines of a backup file, in order.
std::vector<std::string> VariableLines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

constexpr const char* kEnvBlock = " --at 0xF00000 --length 0x1000 --wait 300";

// Values that a careless format would lose, each with its line in a backup file.
const std::map<std::string, std::string> kAwkwardValues = {
    {"note", "a=b=c"}, {"empty", ""}, {"latin", "caf\xC3\xA9\xFF"}, {"ctl", "\x01\t\x7F"}};

TEST_F(QorctlRunTest, EnvBackupThenRestoreGivesBackEveryNameAndValue) {
  sim::SimOptions options;
  options.environment = kAwkwardValues;
  options.keepTrace = true;
  StartSim(options);
  const std::map<std::string, std::string> original = engine->Environment(Mac(1));
  ASSERT_EQ(original.size(), 8u);
  ASSERT_EQ(original.at("empty"), "") << "the simulator keeps an empty value";

  const std::string path = files.Folder() + "/golden.env";
  const Outcome backup = Qorctl("env backup 02:00:00:00:00:01 --out " + path + kEnvBlock);
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_EQ(backup.out, "Backed up 8 variables of 02:00:00:00:00:01 to \"" + path + "\"\n");
  EXPECT_EQ(VariableLines(path),
            (std::vector<std::string>{"bootdelay=3", "ctl=\\x01\\x09\\x7F",
                                      "empty=", "ipaddr=127.0.0.10", "latin=caf\\xC3\\xA9\\xFF",
                                      "netmask=255.0.0.0", "note=a=b=c", "serial=SIM00001"}));
  // Changed on the target, then given back: every variable as it was, empty values included.
  ASSERT_EQ(
      RunProgram(QORCTL_PATH, {"env", "set", "02:00:00:00:00:01", "note=", "empty=full",
                               "latin=caf\\xE9", "new=1", "--at", "0xF00000", "--length", "4096"})
          .status,
      0);
  EXPECT_EQ(engine->Environment(Mac(1)).at("latin"), "caf\xE9");
  EXPECT_EQ(engine->Environment(Mac(1)).count("note"), 0u);
  const Outcome restore = Qorctl("env restore 02:00:00:00:00:01 " + path + kEnvBlock);
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_EQ(restore.out,
            "Wrote the environment block of 02:00:00:00:00:01 at 00F00000: 8 variables, read "
            "back as written\n");
  EXPECT_EQ(engine->Environment(Mac(1)), original);
  const Outcome again = Qorctl("env restore 02:00:00:00:00:01 " + path + kEnvBlock);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out,
            "The environment block of 02:00:00:00:00:01 at 00F00000 holds exactly the "
            "variables of \"" +
                path + "\" already; nothing written\n");
  EXPECT_EQ(Handled(*engine, kWriteRequest), 2u) << "the set and the first restore";
}

TEST_F(QorctlRunTest, EnvSetTwiceReportsChangedThenNotAndSendsNoSecondWrite) {
  sim::SimOptions options;
  options.keepTrace = true;
  StartSim(options);
  // The block of the script's first *loadenv.
  const std::string script = files.Write("edit.qor", kEditScript);
  const std::string set =
      "env set 02:00:00:00:00:01 hostname=qor-demo bootdelay= --json --script " + script +
      " --wait 300";
  const Outcome first = Qorctl(set);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(nlohmann::json::parse(first.out),
            nlohmann::json::parse(R"({"mac": "02:00:00:00:00:01", "address": 15728640,
                                      "length": 4096, "state": "valid", "changed": true})"));
  EXPECT_EQ(Handled(*engine, kWriteRequest), 1u);
  const Outcome second = Qorctl(set);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(nlohmann::json::parse(second.out).at("changed"), false);
  EXPECT_EQ(Handled(*engine, kFillRequest), 1u) << "nothing was sent toward a second write";
  EXPECT_EQ(Handled(*engine, kWriteRequest), 1u);
  const std::map<std::string, std::string> expected = {{"hostname", "qor-demo"},
                                                       {"ipaddr", "127.0.0.10"},
                                                       {"netmask", "255.0.0.0"},
                                                       {"serial", "SIM00001"}};
  EXPECT_EQ(engine->Environment(Mac(1)), expected);
  const Outcome text =
      Qorctl("env set 02:00:00:00:00:01 hostname=qor-demo --script " + script + " --wait 300");
  EXPECT_EQ(text.out,
            "The environment block of 02:00:00:00:00:01 at 00F00000 holds these values already; "
            "nothing written\n");

  // A script without *loadenv names no block.
  const Outcome none =
      Qorctl("env show 02:00:00:00:00:01 --script " + files.Write("r.qor", "*restart\n"));
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "\"" + files.Folder() +
                          "/r.qor\" has no *loadenv to take the environment "
                          "block from\n");
}

TEST_F(QorctlRunTest, SkipIfCurrentRunsOnceThenReportsCurrentAndWritesNothing) {
  sim::SimOptions options;
  options.targets = 2;
  options.keepTrace = true;
  StartSim(options);
  const std::string script = files.Write(
      "fleet.qor", std::string(kImageScript) +
                       "*loadenv 0x00F00000 0x1000\n*setenv hostname qor-demo\n*setenv mode field\n"
                       "*saveenv 0x00F00000 0x1000\n*restart\n");
  const std::string record = files.Folder() + "/fleet.jsonl";
  const std::string run = "run " + script + " --all --wait 300 --skip-if-current --json";
  const Outcome first = Qorctl(run + " --record " + record);
  ASSERT_EQ(first.status, 0) << first.err;
  for (const auto& end : Summary(first.out)) EXPECT_EQ(end.at("outcome"), "passed") << end;
  EXPECT_EQ(Handled(*engine, kWriteRequest), 4u) << "an image and a block on each target";
  EXPECT_EQ(Handled(*engine, kRestartRequest), 2u);
  const std::vector<uint16_t> writing = {kFillRequest, kDataRequest, kWriteRequest,
                                         kRestartRequest};
  std::map<uint16_t, size_t> before;
  for (uint16_t type : writing) before[type] = Handled(*engine, type);
  const size_t reads = Handled(*engine, kReadRequest);

  const Outcome second = Qorctl(run + " --record " + record);
  ASSERT_EQ(second.status, 0) << second.err;
  const nlohmann::json ends = Summary(second.out);
  ASSERT_EQ(ends.size(), 2u);
  for (const auto& end : ends) {
    EXPECT_EQ(end.at("outcome"), "current") << end;
    EXPECT_EQ(end.at("ok"), true);
    EXPECT_TRUE(end.at("restart_confirmed").is_null());
  }
  for (uint16_t type : writing) {
    EXPECT_EQ(Handled(*engine, type), before[type]) << "nothing written: type " << type;
  }
  EXPECT_GT(Handled(*engine, kReadRequest), reads) << "each target was read back";
  std::ifstream recorded(record, std::ios::binary);
  const std::string recordText((std::istreambuf_iterator<char>(recorded)), {});
  EXPECT_EQ(recordText, first.out + second.out);

  // The text line says so; a changed variable makes a target run again.
  const Outcome text = Qorctl("run " + script +
                              " --target 02:00:00:00:00:01 --wait 300 "
                              "--skip-if-current");
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("current: nothing written"), std::string::npos) << text.out;
  ASSERT_EQ(Qorctl("env set 02:00:00:00:00:02 mode=lab --script " + script + " --wait 300").status,
            0);
  const Outcome again = Qorctl(run);
  ASSERT_EQ(again.status, 0) << again.err;
  const nlohmann::json last = Summary(again.out);
  ASSERT_EQ(last.size(), 2u);
  std::map<std::string, std::string> outcomes;
  for (const auto& end : last) outcomes[end.at("mac")] = end.at("outcome");
  EXPECT_EQ(outcomes, (std::map<std::string, std::string>{{"02:00:00:00:00:01", "current"},
                                                          {"02:00:00:00:00:02", "passed"}}));
  EXPECT_EQ(engine->Environment(Mac(2)).at("mode"), "field");
}

TEST_F(QorctlRunTest, EnvShowBackupAndDiffSayHowTheBlockWasFound) {
  struct Row {
    sim::SimEnvBlock block;
    std::string state;
    std::string shown;  // show's first line
    int backupStatus;
    std::string backupErr;
    std::string diffErr;
  };
  const std::vector<Row> rows = {
      {sim::SimEnvBlock::kValid, "valid",
       "Environment block of 02:00:00:00:00:01 at 00F00000, 4096 bytes: valid, 4 variables", 0, "",
       ""},
      {sim::SimEnvBlock::kBlank, "blank",
       "Environment block of 02:00:00:00:00:01 at 00F00000, 4096 bytes: blank (every byte 0xFF), "
       "no variables",
       0, "",
       "The environment block of 02:00:00:00:00:01 at 00F00000 is blank (every byte 0xFF)\n"},
      {sim::SimEnvBlock::kDamaged, "damaged",
       "Environment block of 02:00:00:00:00:01 at 00F00000, 4096 bytes: damaged (its CRC does "
       "not match), its variables unknown",
       1,
       "The environment block at 00F00000 is damaged (its CRC does not match): it holds no "
       "variables to back up, and nothing was written\n",
       "The environment block of 02:00:00:00:00:01 at 00F00000 is damaged (its CRC does not "
       "match): its variables are unknown\n"},
  };
  const std::string golden =
      files.Write("golden.env",
                  "# the fleet's\nbootdelay=3\nipaddr=127.0.0.10\nnetmask=255.0.0.0\n"
                  "serial=SIM00001\n");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.state);
    engine.reset();
    sim::SimOptions options;
    options.environmentBlock = row.block;
    StartSim(options);
    const Outcome shown = Qorctl("env show 02:00:00:00:00:01" + std::string(kEnvBlock));
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out.substr(0, shown.out.find('\n')), row.shown);
    const Outcome json = Qorctl("env show 02:00:00:00:00:01 --json" + std::string(kEnvBlock));
    EXPECT_EQ(nlohmann::json::parse(json.out).at("state"), row.state);

    const std::string path = files.Folder() + "/" + row.state + ".env";
    const Outcome backup = Qorctl("env backup 02:00:00:00:00:01 --out " + path + kEnvBlock);
    EXPECT_EQ(backup.status, row.backupStatus);
    EXPECT_EQ(backup.err, row.backupErr);
    EXPECT_EQ(std::filesystem::exists(path), row.backupStatus == 0);

    // Only a valid block holding exactly the file's variables is the same.
    const Outcome diff = Qorctl("env diff 02:00:00:00:00:01 " + golden + kEnvBlock);
    EXPECT_EQ(diff.status, row.block == sim::SimEnvBlock::kValid ? 0 : 1);
    EXPECT_EQ(diff.err, row.diffErr);
    EXPECT_EQ(diff.out, row.block == sim::SimEnvBlock::kBlank
                            ? "+ bootdelay=3\n+ ipaddr=127.0.0.10\n+ netmask=255.0.0.0\n"
                              "+ serial=SIM00001\n"
                            : "");
  }
}

TEST_F(QorctlRunTest, EnvDiffShowsWhatRestoreWouldChangeAndItsExitStatusSaysWhether) {
  sim::SimOptions options;
  options.environment = {{"bootcmd", "run net"}, {"note", "a=b"}};
  options.keepTrace = true;
  StartSim(options);
  const std::string golden =
      files.Write("golden.env",
                  "bootdelay=5\nempty=\nipaddr=127.0.0.10\nnetmask=255.0.0.0\nnote=a=b\n"
                  "serial=SIM00001\n");
  const Outcome different = Qorctl("env diff 02:00:00:00:00:01 " + golden + kEnvBlock);
  EXPECT_EQ(different.status, 1) << different.err;
  EXPECT_EQ(different.out, "- bootcmd=run net\n~ bootdelay=5 (target: 3)\n+ empty=\n");
  EXPECT_EQ(different.err, "");
  const Outcome json = Qorctl("env diff 02:00:00:00:00:01 --json " + golden + kEnvBlock);
  EXPECT_EQ(json.status, 1);
  const nlohmann::json object = nlohmann::json::parse(json.out);
  EXPECT_EQ(object.at("same"), false);
  EXPECT_EQ(object.at("added"), nlohmann::json({{"empty", ""}}));
  EXPECT_EQ(object.at("removed"), nlohmann::json({{"bootcmd", "run net"}}));
  EXPECT_EQ(object.at("changed"), nlohmann::json::parse(R"({"bootdelay": {"target": "3",
                                                                         "file": "5"}})"));
  EXPECT_EQ(Handled(*engine, kFillRequest), 0u) << "a diff writes nothing";

  ASSERT_EQ(Qorctl("env restore 02:00:00:00:00:01 " + golden + kEnvBlock).status, 0);
  const Outcome same = Qorctl("env diff 02:00:00:00:00:01 " + golden + kEnvBlock);
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, "");
  EXPECT_EQ(
      nlohmann::json::parse(Qorctl("env diff 02:00:00:00:00:01 --json " + golden + kEnvBlock).out)
          .at("same"),
      true);

  // Failures: a target that did not answer, a file that does not read, a damaged block kept.
  const Outcome absent = Qorctl("env diff 02:00:00:00:00:09 " + golden + kEnvBlock);
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.err, "No target with MAC address 02:00:00:00:00:09 answered the discovery\n");
  const std::string bad = files.Write("bad.env", "a=1\nb\n");
  const Outcome unread = Qorctl("env restore 02:00:00:00:00:01 " + bad + kEnvBlock);
  EXPECT_EQ(unread.status, 1);
  EXPECT_EQ(unread.err, "Error in \"" + bad + "\", line 2: \"b\" is not NAME=VALUE\n");
  EXPECT_EQ(Handled(*engine, kWriteRequest), 1u) << "only the restore above wrote";
}

TEST_F(QorctlRunTest, EnvIsCancelledByCtrlC) {
  sim::SimOptions silent;
  silent.lossRate = 1.0;
  silent.lossTypes = {kReadRequest};
  StartSim(silent);
  ProgramOptions ctrlC;
  ctrlC.interruptAfterSeconds = 1.0;
  const Outcome interrupted = Qorctl("env show 02:00:00:00:00:01" + std::string(kEnvBlock), ctrlC);
  EXPECT_EQ(interrupted.status, 130);
  EXPECT_EQ(interrupted.err, "Cancelled\n");
}

TEST_F(QorctlRunTest, EnvUsageErrorsExitWithTwo) {
  const std::vector<std::string> rows = {
      "env",
      "env show",
      "env show 02:00:00:00:00:01",
      "env show 02:00:00:00:00:01 --at 0xF00000",
      "env show 02:00:00:00:00:01 --at 0xF00000 --length 3",
      "env show 02:00:00:00:00:01 --at 0x100000000 --length 4096",
      "env show 02:00:00:00:00:01 --at 0xF00000 --length 4096 --script x.qor",
      "env show nonsense --at 0xF00000 --length 4096",
      "env set 02:00:00:00:00:01 --at 0xF00000 --length 4096",
      "env set 02:00:00:00:00:01 novalue --at 0xF00000 --length 4096",
      "env set 02:00:00:00:00:01 =1 --at 0xF00000 --length 4096",
      "env set 02:00:00:00:00:01 a=C:\\dir --at 0xF00000 --length 4096",
      "env restore 02:00:00:00:00:01 --at 0xF00000 --length 4096",
      "env show 02:00:00:00:00:01 --at 0xF00000 --length 4096 --rewrite-damaged-env",
  };
  for (const std::string& row : rows) {
    const Outcome outcome = Qorctl(row + " --wait 0");
    EXPECT_EQ(outcome.status, 2) << row << "\n" << outcome.err;
    EXPECT_EQ(outcome.out, "") << row;
  }
}

TEST_F(QorctlRunTest, UsageErrorsExitWithTwo) {
  const std::string script = files.Write("restart.qor", "*restart\n");
  EXPECT_EQ(Qorctl("run " + script).status, 2);
  EXPECT_EQ(Qorctl("run " + script + " --target 02:00:00:00:00:01 --all").status, 2);
  EXPECT_EQ(Qorctl("run " + script + " --target nonsense").status, 2);
  EXPECT_EQ(Qorctl("run " + script + " --all --product 0x12345:1").status, 2);
  EXPECT_EQ(Qorctl("run " + script + " --all --pace slow").status, 2);
  EXPECT_EQ(Qorctl("run " + script + " --target 02:00:00:00:00:01 --product 1:1").status, 2);
  for (const char* limit :
       {"--silence 0", "--silence nan", "--write-silence -1", "--write-silence 2592001"}) {
    const Outcome outcome =
        Qorctl("run " + script + " --target 02:00:00:00:00:01 --wait 0 " + limit);
    EXPECT_EQ(outcome.status, 2) << limit;
    EXPECT_NE(outcome.err.find("must be a number of seconds above 0"), std::string::npos)
        << outcome.err;
  }
  const Outcome missing = Qorctl("run " + files.Folder() + "/absent.qor --all --wait 0");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Cannot open"), std::string::npos);
}

}  // namespace
}  // namespace qor::test
