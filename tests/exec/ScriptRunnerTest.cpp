#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "exec/Context.h"
#include "exec/DirectiveRegistry.h"
#include "exec/RequestId.h"
#include "exec/ScriptRunner.h"
#include "platform/Exception.h"
#include "script/Script.h"
#include "tests/common/TempFiles.h"
#include "tests/exec/ExecHarness.h"

namespace qor::test {
namespace {

class ScriptRunnerTest : public ExecHarness {
 protected:
  const Script& Load(const std::string& text) {
    script = std::make_unique<Script>(files.Write("run.qor", text), DirectiveRegistry());
    runner = std::make_unique<ScriptRunner>(*target, *script, *network, display);
    return *script;
  }

  // Starts the script and has the target answer its first requests.
  void StartAndAnswer(const std::string& text, int answered) {
    Load(text);
    runner->Tick();
    for (int i = 0; i < answered; ++i) {
      ReplyToLast();
      runner->Tick();
    }
  }

  TempFiles files;
  std::unique_ptr<Script> script;
  std::unique_ptr<ScriptRunner> runner;
};

TEST_F(ScriptRunnerTest, DirectivesThatFinishAtOnceRunToTheEndInTheFirstStep) {
  Load(
      "*script 0x1234 1 \"Sections\"\n*section \"Stage one\"\n*setenv a 1\n*editenv x y\n"
      "*section \"Stage two\"\n");
  runner->Step();
  EXPECT_TRUE(runner->Finished());
  EXPECT_FALSE(runner->Waiting());
  EXPECT_EQ(runner->DirectiveIndex(), 4);
  EXPECT_EQ(display.Operation(), "Stage two");
  EXPECT_EQ(display.Status(), "");
  EXPECT_EQ(target->environment.entries.at("a"), "1");
  EXPECT_EQ(SentCount(), 0u);

  // Finished: later ticks poll but run nothing again.
  const size_t shown = display.operations.size();
  runner->Tick();
  runner->Step();
  EXPECT_EQ(display.operations.size(), shown);
}

TEST_F(ScriptRunnerTest, AScriptWithoutDirectivesFinishesShowingNothing) {
  Load("# only a header\n*product 0x1234 1 \"Widget\"\n");
  runner->Tick();
  EXPECT_TRUE(runner->Finished());
  EXPECT_TRUE(display.operations.empty());
  EXPECT_TRUE(display.statuses.empty());
}

TEST_F(ScriptRunnerTest, AWaitingDirectiveResumesOnTheTickAfterItsReply) {
  Load("*section Boot\n*restart\n*section After\n");
  runner->Tick();
  EXPECT_TRUE(runner->Waiting());
  EXPECT_EQ(runner->DirectiveIndex(), 1);
  EXPECT_EQ(display.Status(), "Restarting target");
  ASSERT_EQ(SentCount(), 1u);
  EXPECT_EQ(SentType(0), kRestartRequest);

  runner->Tick();
  EXPECT_TRUE(runner->Waiting());

  // Status 1 is not examined.
  socket->Deliver(
      wire::FinalReply{.mac = target->mac, .requestId = SentId(0), .status = 1}.Encode());
  runner->Tick();  // polls the reply in, then steps on to the end
  EXPECT_TRUE(runner->Finished());
  EXPECT_EQ(display.Operation(), "After");
  EXPECT_EQ(target->pendingContext, nullptr);
}

TEST_F(ScriptRunnerTest, ADirectiveErrorStopsTheRunAndNoLaterDirectiveRuns) {
  target->stagingSize = 16;
  Load("*section First\n*download 0x1000 17\n*section Never\n*restart\n");
  try {
    runner->Step();
    FAIL() << "expected an Exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "QOR does not yet support multi-part downloads; download of 17 bytes is too large "
              "for target's 16-byte staging buffer");
  }
  EXPECT_TRUE(runner->Closed());
  EXPECT_FALSE(runner->Finished());
  runner->Step();
  runner->Tick();
  EXPECT_EQ(display.Operation(), "First");
  EXPECT_EQ(SentCount(), 0u);
}

TEST_F(ScriptRunnerTest, AnErrorWhileWaitingUnhooksTheFailedContext) {
  Load("*loadenv 0x3F000 2048\n*restart\n");
  runner->Step();
  ASSERT_EQ(target->pendingContext != nullptr, true);
  ReplyToLast();  // no data
  EXPECT_THROW(runner->Step(), Exception);
  EXPECT_EQ(target->pendingContext, nullptr);
  EXPECT_EQ(target->pendingRequestId, 0u);
  EXPECT_TRUE(runner->Closed());
  EXPECT_EQ(SentCount(), 1u);
}

TEST_F(ScriptRunnerTest, ARefusedRequestEndsTheRunWithItsTextAndNothingIsSentAfter) {
  struct Row {
    const char* script;
    int answered;  // requests answered with status 0 before the refusal
    const char* text;
  };
  const Row rows[] = {
      {"*download 0x1000 16\nS3060000100042A7\n*restart\n", 0,
       "Target refused the FillRequest (status 255)"},
      {"*download 0x1000 16\nS3060000100042A7\n*restart\n", 1,
       "Target refused the DataRequest for 00001000 (status 255)"},
      {"*download 0x1000 16\nS3060000100042A7\n*restart\n", 2,
       "Target refused the WriteRequest for 00001000 (status 255)"},
      // No *saveenv of a block that could not be read.
      {"*loadenv 0x3F000 64\n*setenv a 1\n*saveenv 0x3F000 64\n", 0,
       "Target refused the ReadRequest for 0003F000 (status 255)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    socket->sent.clear();
    StartAndAnswer(row.script, row.answered);
    const size_t sent = SentCount();
    ReplyToLast(255);
    try {
      runner->Tick();
      ADD_FAILURE() << "the refusal did not end the run";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), row.text);
    }
    EXPECT_TRUE(runner->Closed());
    EXPECT_FALSE(runner->Finished());
    EXPECT_EQ(target->pendingContext, nullptr);
    clock.Advance(5000);
    runner->Tick();
    EXPECT_EQ(SentCount(), sent) << "nothing after the refusal, not even a resend";
    EXPECT_TRUE(target->environment.entries.empty());
  }
}

TEST_F(ScriptRunnerTest, ASilentTargetFailsJustOverTheLimitOfItsRequest) {
  struct Row {
    const char* script;
    int answered;  // requests answered before the one left unanswered
    uint32_t limitMs;
    int resends;  // of the silent request within the limit, one each 1001 ms
    const char* text;
  };
  const Row rows[] = {
      {"*download 0x1000 16\nS3060000100042A7\n", 0, 30000, 0,
       "Target has not answered the FillRequest for 30 seconds"},
      {"*download 0x1000 16\nS3060000100042A7\n", 1, 30000, 29,
       "Target has not answered the DataRequest for 00001000 for 30 seconds"},
      {"*download 0x1000 16\nS3060000100042A7\n", 2, 600000, 0,
       "Target has not answered the WriteRequest for 00001000 for 600 seconds"},
      {"*loadenv 0x3F000 64\n", 0, 30000, 29,
       "Target has not answered the ReadRequest for 0003F000 for 30 seconds"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    socket->sent.clear();
    StartAndAnswer(row.script, row.answered);
    const size_t sent = SentCount();
    const uint32_t start = clock.Now();
    // Resends keep their 1000 ms rule and never count as hearing from the target.
    while (clock.Now() - start + 1001 <= row.limitMs && clock.Now() - start < 40000) {
      clock.Advance(1001);
      runner->Tick();
    }
    EXPECT_EQ(SentCount(), sent + static_cast<size_t>(row.resends));
    clock.Set(start + row.limitMs);
    runner->Tick();
    EXPECT_TRUE(runner->Waiting()) << "exactly at the limit the target is still waited for";
    clock.Advance(1);
    try {
      runner->Tick();
      ADD_FAILURE() << "no error just over the limit";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), row.text);
    }
    EXPECT_TRUE(runner->Closed());
    EXPECT_EQ(target->pendingContext, nullptr);
  }
}

TEST_F(ScriptRunnerTest, ARestartLeftUnansweredPastItsLimitFinishesTheRunUnconfirmed) {
  struct Row {
    const char* what;
    const char* script;
    bool answered;  // the target answers each *restart at once
    std::optional<bool> confirmed;
    const char* status;  // the status line at the end
  };
  const Row rows[] = {
      {"answered", "*section Boot\n*restart\n", true, true, "Restarting target"},
      {"unanswered", "*section Boot\n*restart\n", false, false,
       "Restart sent; the target did not answer"},
      {"unanswered, the script going on after it", "*restart\n*setenv after 1\n", false, false,
       "Restart sent; the target did not answer"},
      {"no restart at all", "*section Boot\n*setenv a 1\n", true, std::nullopt, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    socket->sent.clear();
    target->environment = {};
    display = RecordingDisplay();
    Load(row.script);
    runner->Tick();
    if (row.answered && SentCount() > 0) {
      ReplyToLast();
      runner->Tick();
    }
    const uint32_t start = clock.Now();
    if (!runner->Finished()) {
      EXPECT_EQ(runner->RestartConfirmed(), std::nullopt) << "nothing known while it waits";
      clock.Set(start + 30000);
      runner->Tick();
      EXPECT_TRUE(runner->Waiting()) << "exactly at the limit the answer is still waited for";
      clock.Advance(1);
      ASSERT_NO_THROW(runner->Tick());
    }
    EXPECT_TRUE(runner->Finished());
    EXPECT_FALSE(runner->Closed());
    EXPECT_EQ(runner->RestartConfirmed(), row.confirmed);
    EXPECT_EQ(display.Status(), row.status);
    EXPECT_EQ(target->pendingContext, nullptr);
    EXPECT_LE(SentCount(), 1u) << "a restart is never repeated";
    if (std::string(row.script).find("after") != std::string::npos) {
      EXPECT_EQ(target->environment.entries.at("after"), "1") << "the script goes on";
    }
    // An answer that comes after all is dropped at the hook and changes nothing.
    if (SentCount() == 1) Reply(SentId(0));
    runner->Tick();
    EXPECT_EQ(runner->RestartConfirmed(), row.confirmed);
  }
}

TEST_F(ScriptRunnerTest, ProgressRestartsTheWaitOfAWriteAndTheLimitsCanBeChanged) {
  script = std::make_unique<Script>(files.Write("run.qor", "*download 0x1000 16\n*restart\n"),
                                    DirectiveRegistry());
  RunnerOptions options;
  options.silence.requestMs = 2000;
  options.silence.writeMs = 5000;
  runner = std::make_unique<ScriptRunner>(*target, *script, *network, display, options);
  runner->Tick();
  ReplyToLast();  // the fill; the image is blank, so the write follows at once
  runner->Tick();
  ASSERT_EQ(SentType(-1), kWriteRequest);
  const uint32_t writeId = SentId(-1);
  for (int i = 0; i < 3; ++i) {
    clock.Advance(4999);
    Progress(writeId, static_cast<uint32_t>(i));
    runner->Tick();
  }
  EXPECT_TRUE(runner->Waiting()) << "three progress replies kept a 15 s write alive";
  clock.Advance(5000);
  runner->Tick();
  EXPECT_TRUE(runner->Waiting());
  Reply(writeId);
  runner->Tick();
  ASSERT_EQ(SentType(-1), kRestartRequest);
  clock.Advance(2000);
  runner->Tick();
  EXPECT_TRUE(runner->Waiting());
  clock.Advance(1);
  runner->Tick();
  EXPECT_EQ(runner->RestartConfirmed(), false) << "the restart's limit is the changed one";
}

TEST_F(ScriptRunnerTest, CancelClearsTheHookAndALateReplyIsDropped) {
  Load("*download 0x1000 16\n*section Never\n");
  runner->Tick();
  ASSERT_TRUE(runner->Waiting());
  const uint32_t fillId = SentId(0);
  EXPECT_EQ(target->pendingRequestId, fillId);

  runner->Cancel();
  EXPECT_FALSE(runner->Waiting());
  EXPECT_TRUE(runner->Closed());
  EXPECT_EQ(target->pendingContext, nullptr);
  EXPECT_EQ(target->pendingRequestId, 0u);
  EXPECT_EQ(SentCount(), 1u) << "nothing is sent on cancel";

  Reply(fillId);
  runner->Tick();
  EXPECT_EQ(SentCount(), 1u);
  EXPECT_TRUE(display.operations.empty());
}

TEST_F(ScriptRunnerTest, DestroyingARunnerMidwayLeavesNoHookBehind) {
  Load("*restart\n");
  runner->Step();
  ASSERT_NE(target->pendingContext, nullptr);
  runner.reset();
  EXPECT_EQ(target->pendingContext, nullptr);
}

TEST_F(ScriptRunnerTest, OnlyMatchingFinalAndProgressRepliesReachTheContext) {
  Load("*restart\n");
  runner->Step();
  const uint32_t id = SentId(0);
  Reply(id + 1);  // another request id
  Progress(id, 3);
  std::vector<uint8_t> odd = wire::ProgressReply{.mac = target->mac, .requestId = id}.Encode();
  odd[3] = 0x04;  // type 0x8004: no such reply
  socket->Deliver(odd);
  network->Poll();
  runner->Step();
  EXPECT_TRUE(runner->Waiting());
  Reply(id);
  runner->Step();
  EXPECT_TRUE(runner->Finished());
}

// A context that records what reaches it, to see the payload rules of the reply routing.
class SpyContext final : public Context {
 public:
  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override {
    ++replies;
    lastStatus = status;
    hadPayload = payload != nullptr;
    lastLength = length;
  }
  void OnProgress(uint32_t value) override { progress.push_back(value); }
  int replies = 0;
  uint32_t lastStatus = 0;
  bool hadPayload = false;
  int32_t lastLength = -1;
  std::vector<uint32_t> progress;
};

TEST_F(ScriptRunnerTest, RepliesReachTheHookWithExactPayloadsAndRepeatedly) {
  SpyContext spy;
  spy.Hook(*target, 77);
  Reply(77, 3);
  EXPECT_EQ(spy.replies, 1);
  EXPECT_EQ(spy.lastStatus, 3u);
  EXPECT_FALSE(spy.hadPayload);
  EXPECT_EQ(spy.lastLength, 0);
  Reply(77, 0, {0x42});
  EXPECT_EQ(spy.replies, 2) << "the routing does not clear the hook";
  EXPECT_TRUE(spy.hadPayload);
  EXPECT_EQ(spy.lastLength, 1);
  Progress(77, 9);
  EXPECT_EQ(spy.progress, std::vector<uint32_t>{9});
  Reply(78);
  EXPECT_EQ(spy.replies, 2);
}

TEST(ContextTest, DestructionThroughTheBaseUnhooksOnlyAHookThatIsStillItsOwn) {
  Target first;
  Target second;
  std::unique_ptr<Context> a = std::make_unique<SpyContext>();
  std::unique_ptr<Context> b = std::make_unique<SpyContext>();
  a->Hook(first, 5);
  a->Hook(second, 6);  // moving to another target releases the first
  EXPECT_EQ(first.pendingContext, nullptr);
  EXPECT_EQ(second.pendingContext, a.get());
  b->Hook(second, 7);  // b now holds the hook: a's destruction must leave it
  a.reset();
  EXPECT_EQ(second.pendingContext, b.get());
  EXPECT_EQ(second.pendingRequestId, 7u);
  b.reset();
  EXPECT_EQ(second.pendingContext, nullptr);
  EXPECT_EQ(second.pendingRequestId, 0u);
}

TEST(ContextTest, AContextDisplacedFromAHookOutlivesTheTargetSafely) {
  auto target = std::make_unique<Target>();
  auto displaced = std::make_unique<SpyContext>();
  auto holder = std::make_unique<SpyContext>();
  displaced->Hook(*target, 1);
  holder->Hook(*target, 2);
  holder.reset();
  EXPECT_EQ(target->pendingContext, nullptr);
  target.reset();     // the table is cleared while the displaced context still exists
  displaced.reset();  // must not touch the destroyed target (the sanitizer build checks)
}

TEST(RequestIdTest, FollowsTheFixedSequenceFromItsFirstState) {
  ResetRequestIds();
  EXPECT_EQ(NextRequestId(), 41u);
  EXPECT_EQ(NextRequestId(), 18467u);
  EXPECT_EQ(NextRequestId(), 6334u);
  EXPECT_EQ(NextRequestId(), 26500u);
  for (int i = 0; i < 10000; ++i) EXPECT_LE(NextRequestId(), 32767u);
  ResetRequestIds();
  EXPECT_EQ(NextRequestId(), 41u);
}

}  // namespace
}  // namespace qor::test
