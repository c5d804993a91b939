// What a target cannot lose: every *saveenv either writes each variable of its table or sends
// nothing. The far side is the simulator's own model of a target, on the fake socket and clock.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/ScriptRunner.h"
#include "net/TargetEnvironment.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "tests/common/TempFiles.h"
#include "tests/exec/ExecHarness.h"
#include "tools/qor-sim/SimModel.h"

namespace qor::test {
namespace {

using Entries = std::map<std::string, std::string>;
using sim::SimEnvBlock;

constexpr uint32_t kEnvAddress = 0x00F00000;

// What the simulated target starts with: 64 bytes of entries, 68 with the CRC.
const Entries kStartingVariables = {
    {"bootdelay", "3"}, {"ipaddr", "127.0.0.10"}, {"netmask", "255.0.0.0"}, {"serial", "SIM00001"}};

Entries With(Entries entries, const std::string& name, const std::string& value) {
  entries[name] = value;
  return entries;
}

class EnvironmentTrustTest : public ExecHarness {
 protected:
  // A fresh target whose block of length bytes at kEnvAddress starts as block says.
  void StartTarget(SimEnvBlock block, uint32_t length) {
    sim::SimOptions options;
    options.firstMac = target->mac;
    options.firstAddress = kTargetAddress;
    options.stagingSize = target->stagingSize;
    options.environmentAddress = kEnvAddress;
    options.environmentLength = length;
    options.environmentBlock = block;
    model = std::make_unique<sim::SimModel>(options);
    socket->onSend = [this](const FakeDatagramSocket::Datagram& sent) {
      sim::SimDatagram request;
      request.bytes = sent.bytes;
      request.length = sent.bytes.size();
      request.source = 0x7F000001;
      request.sourcePort = 50000;
      request.destination = sent.address;
      sim::SimOutput output;
      model->Handle(request, output);
      for (sim::SimReply& reply : output.replies) {
        socket->Deliver(std::move(reply.bytes), kTargetPort, reply.source);
      }
    };
    socket->sent.clear();
    target->environment = {};  // as after a new discovery
  }

  std::vector<uint8_t> BlockOnTarget(uint32_t length) const {
    return model->ReadMemory(target->mac, kEnvAddress, length);
  }

  size_t SentOfType(uint16_t type) const {
    size_t count = 0;
    for (const auto& datagram : socket->sent) {
      if (static_cast<uint16_t>(datagram.bytes.at(2) << 8 | datagram.bytes.at(3)) == type) ++count;
    }
    return count;
  }

  // Reads and runs text to its end: the error that stopped it, or empty when it finished.
  std::string Run(const std::string& text, const RunnerOptions& options = {}) {
    try {
      script = std::make_unique<Script>(files.Write("env.qor", text), DirectiveRegistry());
    } catch (const Exception& error) {
      return error.Message();
    }
    ScriptRunner runner(*target, *script, *network, display, options);
    try {
      for (int tick = 0; tick < 1000 && !runner.Finished(); ++tick) runner.Tick();
    } catch (const Exception& error) {
      return error.Message();
    }
    EXPECT_TRUE(runner.Finished()) << "the run neither ended nor failed";
    return {};
  }

  TempFiles files;
  std::unique_ptr<sim::SimModel> model;
  std::unique_ptr<Script> script;
};

std::string EditScript(uint32_t length, const std::string& setenv) {
  const std::string block = "0x00F00000 " + std::to_string(length);
  return "*loadenv " + block + "\n" + setenv + "\n*saveenv " + block + "\n";
}

TEST_F(EnvironmentTrustTest, NoRunSucceedsWhileTheTargetLostAVariableAndEachRefusalSendsNothing) {
  const std::string refusedDamaged =
      "The environment block at 00F00000 was damaged when read; writing it would lose its "
      "variables";
  struct Row {
    const char* what;
    SimEnvBlock block;
    uint32_t length;
    std::string script;
    bool rewriteDamaged;
    std::string error;  // the end of the text; empty for a run that finishes
    Entries written;    // what the target holds after a run that finished
    std::optional<EnvironmentBlockState> recorded;  // at kEnvAddress, once the run is over
  };
  const std::vector<Row> rows = {
      {"a valid block", SimEnvBlock::kValid, 0x1000, EditScript(0x1000, "*setenv hostname qor"),
       false, "", With(kStartingVariables, "hostname", "qor"), EnvironmentBlockState::kValid},
      {"a table that fills the block to its last byte", SimEnvBlock::kValid, 80,
       EditScript(80, "*setenv x 123456789"), false, "", With(kStartingVariables, "x", "123456789"),
       EnvironmentBlockState::kValid},
      {"a table one byte too large",
       SimEnvBlock::kValid,
       80,
       EditScript(80, "*setenv x 1234567890"),
       false,
       "Environment variables need 81 bytes; the block at 00F00000 holds 80",
       {},
       EnvironmentBlockState::kValid},
      {"a blank block, the first time",
       SimEnvBlock::kBlank,
       0x1000,
       EditScript(0x1000, "*setenv hostname qor"),
       false,
       "",
       {{"hostname", "qor"}},
       EnvironmentBlockState::kValid},
      {"a damaged block",
       SimEnvBlock::kDamaged,
       0x1000,
       EditScript(0x1000, "*setenv hostname qor"),
       false,
       refusedDamaged,
       {},
       EnvironmentBlockState::kDamaged},
      {"a damaged block, even with nothing changed",
       SimEnvBlock::kDamaged,
       0x1000,
       EditScript(0x1000, "*section Keep"),
       false,
       refusedDamaged,
       {},
       EnvironmentBlockState::kDamaged},
      {"a damaged block repaired on purpose",
       SimEnvBlock::kDamaged,
       0x1000,
       EditScript(0x1000, "*setenv hostname qor"),
       true,
       "",
       {{"hostname", "qor"}},
       EnvironmentBlockState::kValid},
      {"a block of 3 bytes",
       SimEnvBlock::kValid,
       0x1000,
       "*loadenv 0x00F00000 0x1000\n*saveenv 0x00F00000 3\n",
       false,
       "line 2: *saveenv directive's block of 3 bytes cannot hold its 4-byte CRC",
       {},
       std::nullopt},
      {"a block of 2 bytes",
       SimEnvBlock::kValid,
       0x1000,
       "*SaveEnv 0x00F00000 2\n",
       false,
       "line 1: *SaveEnv directive's block of 2 bytes cannot hold its 4-byte CRC",
       {},
       std::nullopt},
      {"a block of 1 byte",
       SimEnvBlock::kValid,
       0x1000,
       "*setenv a 1\n*loadenv 0x00F00000 1\n",
       false,
       "line 2: *loadenv directive's block of 1 byte cannot hold its 4-byte CRC",
       {},
       std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    StartTarget(row.block, row.length);
    const std::vector<uint8_t> before = BlockOnTarget(row.length);
    RunnerOptions options;
    options.rewriteDamagedEnvironment = row.rewriteDamaged;
    const std::string error = Run(row.script, options);

    const std::vector<uint8_t> after = BlockOnTarget(row.length);
    TargetEnvironment onTarget;
    const EnvironmentBlockState state = ParseEnvironmentBlock(after.data(), after.size(), onTarget);
    if (row.error.empty()) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(state, EnvironmentBlockState::kValid);
      EXPECT_EQ(onTarget.entries, row.written);
      EXPECT_EQ(onTarget.entries, target->environment.entries) << "every variable was written";
    } else {
      ASSERT_GE(error.size(), row.error.size()) << error;
      EXPECT_EQ(error.substr(error.size() - row.error.size()), row.error);
      EXPECT_EQ(after, before) << "the target's block is untouched";
      EXPECT_EQ(SentOfType(kFillRequest) + SentOfType(kDataRequest) + SentOfType(kWriteRequest), 0u)
          << "a refusal sends nothing to the staging buffer";
    }
    const auto& blocks = target->environment.blocks;
    if (row.recorded) {
      ASSERT_EQ(blocks.count(kEnvAddress), 1u);
      EXPECT_EQ(blocks.at(kEnvAddress), *row.recorded);
    } else {
      EXPECT_TRUE(blocks.empty());
      EXPECT_EQ(SentCount(), 0u) << "a script that does not read sends nothing at all";
    }
  }
}

TEST_F(EnvironmentTrustTest, TheRecordStaysWithTheTargetFromOneRunToTheNext) {
  StartTarget(SimEnvBlock::kDamaged, 0x1000);
  EXPECT_EQ(Run("*loadenv 0x00F00000 0x1000\n"), "");
  EXPECT_EQ(target->environment.blocks.at(kEnvAddress), EnvironmentBlockState::kDamaged);
  // A later run on the same target, until the next discovery, still knows the block is damaged.
  const std::string refused = Run("*setenv a 1\n*saveenv 0x00F00000 0x1000\n");
  EXPECT_EQ(refused,
            "The environment block at 00F00000 was damaged when read; writing it would lose its "
            "variables");
  EXPECT_EQ(SentOfType(kFillRequest), 0u);
  // Another block of the same target is no concern of the damaged one.
  EXPECT_EQ(Run("*saveenv 0x00F10000 0x100\n"), "");
  EXPECT_EQ(SentOfType(kWriteRequest), 1u);
  // Once repaired, the block is known to be valid, and later runs may write it.
  RunnerOptions repair;
  repair.rewriteDamagedEnvironment = true;
  EXPECT_EQ(Run("*saveenv 0x00F00000 0x1000\n", repair), "");
  EXPECT_EQ(target->environment.blocks.at(kEnvAddress), EnvironmentBlockState::kValid);
  EXPECT_EQ(Run("*setenv b 2\n*saveenv 0x00F00000 0x1000\n"), "");
  EXPECT_EQ(SentOfType(kWriteRequest), 3u);
}

}  // namespace
}  // namespace qor::test
