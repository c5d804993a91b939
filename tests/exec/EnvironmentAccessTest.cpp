// A target's environment block read and written as a whole: the simulator's model of a target on
// the fake socket, time on the fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/EnvironmentAccess.h"
#include "net/EnvironmentFile.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "tests/common/TempFiles.h"
#include "tests/exec/ExecHarness.h"
#include "tools/qor-sim/SimModel.h"

namespace qor::test {
namespace {

using Entries = EnvironmentEntries;
using sim::SimEnvBlock;

constexpr uint32_t kEnvAddress = 0x00F00000;
constexpr uint32_t kLength = 0x1000;
constexpr EnvironmentBlockPlace kPlace{kEnvAddress, kLength};

// What the simulated target's block starts with, besides the variables a test adds.
const Entries kStartingVariables = {
    {"bootdelay", "3"}, {"ipaddr", "127.0.0.10"}, {"netmask", "255.0.0.0"}, {"serial", "SIM00001"}};

// Values a block can hold that a careless format would lose.
const Entries kAwkward = {{"note", "a=b=c"},           {"empty", ""},   {"latin", "caf\xE9\xFF"},
                          {"control", "\x01\t\n\x7F"}, {"", "no name"}, {"#hash", "trailing "}};

class EnvironmentAccessTest : public ExecHarness {
 protected:
  EnvironmentAccessTest() {
    socket->onWait = [this](int timeoutMs) {
      if (++waits > 1'000'000) throw std::runtime_error("the access never ended");
      if (socket->incoming.empty()) clock.Advance(static_cast<uint32_t>(timeoutMs));
    };
  }

  // A fresh target whose block at kEnvAddress starts as block says, holding the starting
  // variables and extra.
  void StartTarget(SimEnvBlock block, const Entries& extra = {}, uint32_t length = kLength) {
    sim::SimOptions options;
    options.firstMac = target->mac;
    options.firstAddress = kTargetAddress;
    options.stagingSize = target->stagingSize;
    options.environmentAddress = kEnvAddress;
    options.environmentLength = length;
    options.environmentBlock = block;
    options.environment = extra;
    options.failures = failures;
    model = std::make_unique<sim::SimModel>(options);
    socket->onSend = [this](const FakeDatagramSocket::Datagram& sent) {
      const uint16_t type = static_cast<uint16_t>(sent.bytes.at(2) << 8 | sent.bytes.at(3));
      if (deaf) return;
      if (type == kWriteRequest && forgetful) {
        // Acknowledged, never carried out: the staging buffer stays where it was.
        socket->Deliver(wire::FinalReply{
            .mac = target->mac,
            .requestId = SentId(-1),
            .status = 0,
            .payload = {}}.Encode());
        return;
      }
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

  std::vector<uint8_t> BlockOnTarget(uint32_t length = kLength) const {
    return model->ReadMemory(target->mac, kEnvAddress, length);
  }
  Entries OnTarget() const { return model->Environment(target->mac); }

  size_t SentOfType(uint16_t type) const {
    size_t count = 0;
    for (const auto& datagram : socket->sent) {
      if (static_cast<uint16_t>(datagram.bytes.at(2) << 8 | datagram.bytes.at(3)) == type) ++count;
    }
    return count;
  }
  size_t Writes() const { return SentOfType(kWriteRequest); }

  // The error that work threw, or empty when it threw none.
  static std::string ErrorOf(const std::function<void()>& work) {
    try {
      work();
    } catch (const Exception& error) {
      return error.Message();
    }
    return {};
  }

  std::unique_ptr<EnvironmentAccess> Access(bool rewriteDamaged = false,
                                            EnvironmentBlockPlace place = kPlace) {
    RunSettings settings;
    settings.runner.rewriteDamagedEnvironment = rewriteDamaged;
    settings.cancel = &cancel;
    return std::make_unique<EnvironmentAccess>(*network, *target, place, settings);
  }

  std::unique_ptr<sim::SimModel> model;
  std::map<uint16_t, uint32_t> failures;
  bool deaf = false;
  bool forgetful = false;
  std::atomic<bool> cancel{false};
  int waits = 0;
  TempFiles files;
};

Entries Merged(Entries entries, const Entries& more) {
  for (const auto& [name, value] : more) entries[name] = value;
  return entries;
}

TEST_F(EnvironmentAccessTest, ReadsEachStateIntoAFreshTableAndBacksUpAllButADamagedBlock) {
  struct Row {
    SimEnvBlock block;
    EnvironmentBlockState state;
    Entries entries;
    std::string backupError;
  };
  const std::vector<Row> rows = {
      {SimEnvBlock::kValid, EnvironmentBlockState::kValid, Merged(kStartingVariables, kAwkward),
       ""},
      {SimEnvBlock::kBlank, EnvironmentBlockState::kBlank, {}, ""},
      {SimEnvBlock::kDamaged,
       EnvironmentBlockState::kDamaged,
       {},
       "The environment block at 00F00000 is damaged (its CRC does not match): it holds no "
       "variables to back up, and nothing was written"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(EnvironmentBlockStateName(row.state));
    StartTarget(row.block, kAwkward);
    // What an earlier run left in the table is no part of the block.
    target->environment.entries = {{"stale", "1"}, {"serial", "old"}};
    const EnvironmentReading reading = Access()->Read();
    EXPECT_EQ(reading.state, row.state);
    EXPECT_EQ(reading.entries, row.entries);
    EXPECT_EQ(target->environment.entries, row.entries);
    EXPECT_EQ(target->environment.blocks.at(kEnvAddress), row.state);
    EXPECT_EQ(SentOfType(kReadRequest), 4u) << "four reads of 1024 bytes";
    EXPECT_EQ(SentOfType(kReadRequest), SentCount()) << "a read sends nothing else";

    const std::string path = files.Folder() + "/backup.env";
    std::filesystem::remove(path);
    const std::string error = ErrorOf([&] { static_cast<void>(Access()->Backup(path)); });
    EXPECT_EQ(error, row.backupError);
    if (row.backupError.empty()) {
      EXPECT_EQ(ReadEnvironmentFile(path), row.entries);
    } else {
      EXPECT_FALSE(std::filesystem::exists(path));
    }
    EXPECT_EQ(Writes(), 0u);
  }
}

TEST_F(EnvironmentAccessTest, SetWritesOnlyWhenTheBlockChangesAndReadsItBack) {
  StartTarget(SimEnvBlock::kValid);
  const EnvironmentChange first = Access()->Set({{"hostname", "qor"}, {"bootdelay", ""}});
  EXPECT_TRUE(first.changed);
  EXPECT_EQ(first.before.entries, kStartingVariables);
  Entries expected = kStartingVariables;
  expected.erase("bootdelay");
  expected["hostname"] = "qor";
  EXPECT_EQ(OnTarget(), expected);
  EXPECT_EQ(target->environment.entries, expected);
  EXPECT_EQ(Writes(), 1u);
  EXPECT_EQ(SentOfType(kReadRequest), 8u) << "read, then read back";

  // The same wish again, and a deletion of what is not there: no write.
  socket->sent.clear();
  const EnvironmentChange again = Access()->Set({{"hostname", "qor"}, {"bootdelay", ""}});
  EXPECT_FALSE(again.changed);
  EXPECT_EQ(again.before.entries, expected);
  EXPECT_FALSE(Access()->Set({{"absent", ""}}).changed);
  EXPECT_EQ(SentOfType(kReadRequest), SentCount()) << "nothing but reads went out";

  // Given in order: the later value of a name wins, as with *setenv.
  EXPECT_TRUE(Access()->Set({{"a", "1"}, {"a", ""}, {"b", "1"}, {"b", "2"}}).changed);
  EXPECT_EQ(OnTarget(), Merged(expected, {{"b", "2"}}));

  // A blank block becomes a valid one, even with nothing set in it; once.
  StartTarget(SimEnvBlock::kBlank);
  EXPECT_TRUE(Access()->Set({{"absent", ""}}).changed);
  EXPECT_EQ(BlockOnTarget()[4], 0) << "a valid block without entries";
  EXPECT_FALSE(Access()->Set({{"absent", ""}}).changed);
  EXPECT_EQ(Writes(), 1u);
}

TEST_F(EnvironmentAccessTest, RestoreWritesTheTableExactlyEmptyValuesIncluded) {
  StartTarget(SimEnvBlock::kValid, {{"extra", "1"}});
  const std::vector<uint8_t> blank(kLength, 0xFF);
  EnvironmentChange change = Access()->Restore(kAwkward);
  EXPECT_TRUE(change.changed);
  EXPECT_EQ(change.before.entries, Merged(kStartingVariables, {{"extra", "1"}}));
  EXPECT_EQ(OnTarget(), kAwkward) << "every name and value, none added, none dropped";
  EXPECT_EQ(Writes(), 1u);
  change = Access()->Restore(kAwkward);
  EXPECT_FALSE(change.changed);
  EXPECT_EQ(change.before.entries, kAwkward);
  EXPECT_EQ(Writes(), 1u) << "nothing to change: no second write";

  // An empty table on a blank block: the block becomes valid and empty.
  StartTarget(SimEnvBlock::kBlank);
  EXPECT_TRUE(Access()->Restore({}).changed);
  EXPECT_EQ(Access()->Read().state, EnvironmentBlockState::kValid);
  EXPECT_FALSE(Access()->Restore({}).changed);
}

TEST_F(EnvironmentAccessTest, WhatWouldLoseAVariableIsRefusedBeforeTheStagingBufferIsTouched) {
  const std::string damaged =
      "The environment block at 00F00000 was damaged when read; writing it would lose its "
      "variables";
  using Work = std::function<EnvironmentChange(EnvironmentAccess&)>;
  const Work restoreAwkward = [](EnvironmentAccess& access) { return access.Restore(kAwkward); };
  const Work setHostname = [](EnvironmentAccess& access) {
    return access.Set({{"hostname", "qor"}});
  };
  // 70 bytes with the CRC: the starting 68 and an entry of an empty name and value.
  const Work restoreSeventy = [](EnvironmentAccess& access) {
    return access.Restore(Merged(kStartingVariables, {{"", ""}}));
  };
  const Work setX = [](EnvironmentAccess& access) { return access.Set({{"x", "1"}}); };
  const Work restoreNameWithEquals = [](EnvironmentAccess& access) {
    return access.Restore({{"a=b", "c"}});
  };
  struct Row {
    const char* what;
    SimEnvBlock block;
    uint32_t length;
    Work work;
    bool rewriteDamaged;
    std::string error;  // empty: the work is done
    bool nothingSent;   // not even a read
  };
  const std::vector<Row> rows = {
      {"restore onto a damaged block", SimEnvBlock::kDamaged, kLength, restoreAwkward, false,
       damaged, false},
      {"set onto a damaged block", SimEnvBlock::kDamaged, kLength, setHostname, false, damaged,
       false},
      {"restore onto a damaged block, repaired on purpose", SimEnvBlock::kDamaged, kLength,
       restoreAwkward, true, "", false},
      {"restore of a table one byte too large", SimEnvBlock::kValid, 69, restoreSeventy, false,
       "Environment variables need 70 bytes; the block at 00F00000 holds 69", true},
      {"set that makes the table too large", SimEnvBlock::kValid, 70, setX, false,
       "Environment variables need 72 bytes; the block at 00F00000 holds 70", false},
      {"restore of a name with '='", SimEnvBlock::kValid, kLength, restoreNameWithEquals, false,
       "The name \"a=b\" holds '=', which would end the name in the block", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    StartTarget(row.block, {}, row.length);
    const std::vector<uint8_t> before = BlockOnTarget(row.length);
    std::optional<EnvironmentChange> change;
    const std::string error = ErrorOf([&] {
      change = row.work(*Access(row.rewriteDamaged, {kEnvAddress, row.length}));
    });
    EXPECT_EQ(error, row.error);
    if (row.error.empty()) {
      ASSERT_TRUE(change.has_value());
      EXPECT_TRUE(change->changed);
      EXPECT_EQ(OnTarget(), kAwkward);
      continue;
    }
    EXPECT_EQ(BlockOnTarget(row.length), before) << "the target's block is untouched";
    EXPECT_EQ(SentOfType(kFillRequest) + SentOfType(kDataRequest) + Writes(), 0u);
    if (row.nothingSent) {
      EXPECT_EQ(SentCount(), 0u);
    }
  }
}

TEST_F(EnvironmentAccessTest, AWriteThatDoesNotReadBackAsWrittenFails) {
  StartTarget(SimEnvBlock::kValid);
  forgetful = true;
  EXPECT_EQ(ErrorOf([&] { static_cast<void>(Access()->Restore(kAwkward)); }),
            "The environment block at 00F00000 does not read back as it was written");
  EXPECT_EQ(Writes(), 1u);
  EXPECT_EQ(OnTarget(), kStartingVariables);
  EXPECT_EQ(target->environment.entries, kStartingVariables) << "the table says what was read";
}

TEST_F(EnvironmentAccessTest, ARefusalSilenceOrCancelEndsTheWorkWithItsText) {
  failures[kReadRequest] = 3;
  StartTarget(SimEnvBlock::kValid);
  EXPECT_EQ(ErrorOf([&] { static_cast<void>(Access()->Read()); }),
            "Target refused the ReadRequest for 00F00000 (status 3)");
  failures.clear();

  StartTarget(SimEnvBlock::kValid);
  deaf = true;
  const uint32_t start = clock.Now();
  EXPECT_EQ(ErrorOf([&] {
              static_cast<void>(Access()->Set({{"a", "1"}}));
            }),
            "Target has not answered the ReadRequest for 00F00000 for 30 seconds");
  EXPECT_GT(clock.Now() - start, 30'000u);
  EXPECT_LT(clock.Now() - start, 31'000u);
  // Repeated after more than 1000 ms each time, under a new id; nothing written.
  EXPECT_EQ(SentOfType(kReadRequest), 30u);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(target->pendingContext, nullptr);

  StartTarget(SimEnvBlock::kValid);
  cancel = true;
  EXPECT_EQ(ErrorOf([&] { static_cast<void>(Access()->Restore({})); }), "Cancelled");
  EXPECT_EQ(Writes(), 0u);
}

TEST_F(EnvironmentAccessTest, RefusesWhatCannotBeReadAtAllAndFindsAScriptsFirstLoadenv) {
  StartTarget(SimEnvBlock::kValid);
  const std::vector<std::pair<EnvironmentBlockPlace, std::string>> rows = {
      {{kEnvAddress, 0}, "Environment block must be of nonzero length"},
      {{kEnvAddress, 3}, "An environment block of 3 bytes cannot hold its 4-byte CRC"},
      {{kEnvAddress, 1}, "An environment block of 1 byte cannot hold its 4-byte CRC"},
      {{kEnvAddress, 0x10001},
       "Environment block of 65537 bytes is too large for target's 65536-byte staging buffer"},
  };
  for (const auto& [place, text] : rows) {
    EXPECT_EQ(ErrorOf([&] { static_cast<void>(Access(false, place)); }), text);
  }
  target->ipAddress = 0;
  EXPECT_EQ(ErrorOf([&] { static_cast<void>(Access()); }),
            "Target 00:1A:2B:3C:4D:5E has no IP address; assign it one first");
  EXPECT_EQ(SentCount(), 0u);

  const Script script(files.Write("env.qor",
                                  "*section Keep\n*saveenv 0x100 0x200\n*loadenv 0x300 0x400\n"
                                  "*loadenv 0x500 0x600\n"),
                      DirectiveRegistry());
  const auto place = EnvironmentAccess::FirstLoadEnv(script);
  ASSERT_TRUE(place.has_value());
  EXPECT_EQ(place->address, 0x300u);
  EXPECT_EQ(place->length, 0x400u);
  const Script none(files.Write("none.qor", "*saveenv 0x100 0x200\n"), DirectiveRegistry());
  EXPECT_FALSE(EnvironmentAccess::FirstLoadEnv(none).has_value());
}

}  // namespace
}  // namespace qor::test
