#include "app/CQORDialog.h"
#include "app/CTargetListCtrl.h"
#include "tests/ui/AppHarness.h"
#include "ui/UiTypes.h"

namespace qor::test {
namespace {

class ScriptDialogTest : public AppTest {
 protected:
  void SetUp() override {
    folder.Write("image.bin", std::string(2048, '\x5a'));
    folder.Write("flash.qor",
                 "*product 0x1234 0x0001 \"Demo Board\"\n"
                 "*script 0x1234 0x0001 \"Flash\"\n"
                 "*section \"Flashing\"\n"
                 "*download 0x1000 2048 image.bin\n"
                 "*section \"After the download\"\n"
                 "*restart\n");
    folder.Write("quick.qor",
                 "*script 0x1234 0x0001 \"Quick\"\n"
                 "*section \"First\"\n"
                 "*section \"Second\"\n");
    folder.Write("empty.qor", "*script 0x1234 0x0001 \"Nothing\"\n");
    folder.Write("zlate.qor",
                 "*script 0x1234 0x0001 \"Late error\"\n"
                 "*restart\n"
                 "*download 0x1000 2048 image.bin\n");
  }

  // Opens the script with command on the first row's target.
  void ThenRun(unsigned command) {
    Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
    Then([command](HeadlessDesktop& d) { d.ChooseMenuItem(command); });
  }

  static Target& FirstTarget() {
    auto* main = dynamic_cast<CQORDialog*>(AfxGetApp()->MainWindow());
    return *reinterpret_cast<Target*>(main->TargetList()->GetItemData(0));
  }

  static HeadlessDialog& Run103(HeadlessDesktop& d) { return d.Dialog(kIddScriptDialog); }
};

// Menu commands, catalogue order by file name: empty.qor, flash.qor, quick.qor.
constexpr unsigned kNothing = 2;
constexpr unsigned kFlash = 3;
constexpr unsigned kQuick = 4;
constexpr unsigned kLateError = 5;

TEST_F(ScriptDialogTest, ARunThatFinishesStaysOpenWithItsLastTexts) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kQuick);
  Then([](HeadlessDesktop& d) {
    HeadlessDialog& run = Run103(d);
    EXPECT_EQ(run.Caption(), "Execute Script");
    EXPECT_EQ(run.Text(kIdcOperation), "");
    EXPECT_EQ(run.TimerPeriod(1), 20u);
  });
  ThenTick();
  Then([](HeadlessDesktop& d) {
    // Everything finished in the first tick.
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "Second");
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "");
  });
  ThenTick();
  ThenTick();
  Then([](HeadlessDesktop& d) {
    ASSERT_TRUE(d.IsOpen(kIddScriptDialog));
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "Second");
    EXPECT_TRUE(Run103(d).TimerRunning(1));
    // Done: a full bar, and the button says what it now does.
    EXPECT_EQ(Run103(d).ProgressRange(kIdcProgress), std::make_pair(0, 1000));
    EXPECT_EQ(Run103(d).ProgressPos(kIdcProgress), 1000);
    EXPECT_EQ(Run103(d).Text(kIdCancel), "Close");
    Run103(d).Click(kIdCancel);
  });
  Then([](HeadlessDesktop& d) { EXPECT_FALSE(d.IsOpen(kIddScriptDialog)); });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
}

// A line shows its whole text or nothing; the button's text is shown as far as it converts.
TEST_F(ScriptDialogTest, ALineWhoseTextDoesNotConvertIsShownEmpty) {
  folder.Write("zz.qor",
               "*script 0x1234 0x0001 \"Odd bytes\"\n"
               "*section \"Caf\x81\"\n");
  desktop.unconvertibleBytes = "\x81s";  // "Close" holds an 's'
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kLateError + 1);
  ThenTick();
  Then([](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "");
    EXPECT_EQ(Run103(d).Text(kIdCancel), "Clo?e");
    Run103(d).PressEscape();
  });
  // The same run without the undefined byte shows the section.
  Then([](HeadlessDesktop& d) { d.unconvertibleBytes.clear(); });
  ThenRun(kLateError + 1);
  ThenTick();
  Then([](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "Caf\x81");
    Run103(d).PressEscape();
  });
  ThenQuit();
  Run();
}

TEST_F(ScriptDialogTest, AScriptWithoutDirectivesLeavesBothLinesEmpty) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kNothing);
  ThenTick();
  Then([](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "");
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "");
    Run103(d).PressEscape();
  });
  ThenQuit();
  Run();
}

TEST_F(ScriptDialogTest, EnterKeepsTheRunOpenAndTheMainDialogToo) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kQuick);
  Then([](HeadlessDesktop& d) { Run103(d).PressEnter(); });
  // Nor on its Cancel button: only Escape or a click ends the run.
  Then([](HeadlessDesktop& d) {
    Run103(d).Focus(kIdCancel);
    Run103(d).PressEnter();
  });
  Then([](HeadlessDesktop& d) {
    EXPECT_TRUE(d.IsOpen(kIddScriptDialog));
    EXPECT_TRUE(d.IsOpen(kIddQorDialog));
    // The main window takes no input while the run is open.
    EXPECT_THROW(d.Dialog(kIddQorDialog).PressEnter(), HeadlessError);
    Run103(d).Click(kIdCancel);
  });
  Then([](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).PressEnter(); });
  Then([](HeadlessDesktop& d) { EXPECT_TRUE(d.IsOpen(kIddQorDialog)); });
  ThenQuit();
  Run();
}

TEST_F(ScriptDialogTest, ADownloadRunsToItsEndWithItsProgressTexts) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kFlash);
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "Flashing");
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Filling buffer");
    ASSERT_EQ(Sent(kFillRequest).size(), 1u);
    EXPECT_EQ(Sent(kFillRequest)[0].address, kTargetAddress);
    ReplyToLast(Mac(1));
  });
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Sending 00001000");
    EXPECT_EQ(Run103(d).ProgressPos(kIdcProgress), 0);
    ReplyToLast(Mac(1));
  });
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Sending 00001400");
    EXPECT_EQ(Run103(d).ProgressPos(kIdcProgress), 500) << "half of the 2048 bytes are in";
    ReplyToLast(Mac(1));
  });
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Writing");
    ASSERT_EQ(Sent(kWriteRequest).size(), 1u);
    ReplyToLast(Mac(1));
  });
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "After the download");
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Restarting target");
    EXPECT_EQ(Run103(d).Text(kIdCancel), "Cancel") << "not done while the restart is awaited";
    EXPECT_EQ(Run103(d).ProgressPos(kIdcProgress), 1000) << "the image went whole";
    ReplyToLast(Mac(1));
  });
  ThenTick();
  Then([](HeadlessDesktop& d) {
    EXPECT_EQ(FirstTarget().pendingContext, nullptr);
    EXPECT_EQ(Run103(d).Text(kIdCancel), "Close");
    Run103(d).Click(kIdCancel);
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
  EXPECT_EQ(Sent(kDataRequest).size(), 2u);
}

TEST_F(ScriptDialogTest, CancelDuringADownloadClearsTheHookAndLateRepliesAreDropped) {
  uint32_t dataRequestId = 0;
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kFlash);
  ThenTick();
  Then([this](HeadlessDesktop&) { ReplyToLast(Mac(1)); });
  ThenTick();
  Then([&, this](HeadlessDesktop& d) {
    ASSERT_EQ(Sent(kDataRequest).size(), 1u);
    dataRequestId = Get32(Sent(kDataRequest)[0].bytes, 12);
    Target& target = FirstTarget();
    EXPECT_NE(target.pendingContext, nullptr);
    EXPECT_EQ(target.pendingRequestId, dataRequestId);
    Run103(d).Click(kIdCancel);
    EXPECT_EQ(target.pendingContext, nullptr);
    EXPECT_EQ(target.pendingRequestId, 0u);
  });
  // The target's late answer reaches no one, and nothing more is sent.
  Then([&, this](HeadlessDesktop&) { socket.Deliver(FinalReply(Mac(1), dataRequestId)); });
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_FALSE(d.IsOpen(kIddScriptDialog));
    EXPECT_EQ(Sent(kDataRequest).size(), 1u);
    EXPECT_TRUE(Sent(kWriteRequest).empty());
    EXPECT_EQ(FirstTarget().pendingContext, nullptr);
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
}

TEST_F(ScriptDialogTest, ADirectiveErrorIsShownWithTheExclamationIconAndEndsTheRun) {
  ThenAnnounce(Mac(1), kTargetAddress, kVendor, kProduct, 1024);
  ThenRun(kFlash);
  ThenTick();
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text,
              "QOR does not yet support multi-part downloads; download of 2048 bytes is too "
              "large for target's 1024-byte staging buffer");
    EXPECT_EQ(d.MessageBox()->caption, "QOR");
    EXPECT_EQ(d.MessageBox()->type, kMbOk | kMbIconExclamation);
    EXPECT_EQ(d.MessageBox()->ownerTemplate, kIddScriptDialog);
    // No tick starts while the message box is open.
    EXPECT_FALSE(Run103(d).TimerRunning(1));
    // The section before the error had run.
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "Flashing");
    d.AnswerMessageBox();
  });
  Then([this](HeadlessDesktop& d) {
    EXPECT_FALSE(d.IsOpen(kIddScriptDialog));
    EXPECT_TRUE(Sent(kFillRequest).empty());
  });
  ThenQuit();
  Run();
  EXPECT_EQ(desktop.MessageBoxes().size(), 1u);
  const auto& events = desktop.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "end 103 2"), events.end());
}

// A reply steps the run as soon as the socket has it, without waiting for the tick; still one
// A target that answers at once is stepped again within the same socket event rather than
// through the event loop; still one request at a time, and the window waits for its tick.
TEST_F(ScriptDialogTest, ATargetThatAnswersAtOnceIsSteppedWithinOneSocketEvent) {
  socket.nativeHandle = 42;
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kFlash);
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    size_t unanswered = 0;
    socket.onSend = [&](const FakeDatagramSocket::Datagram& request) {
      EXPECT_EQ(unanswered, 0u) << "a request went out before the last was answered";
      unanswered = 1;
      socket.Deliver(FinalReply(Mac(1), Get32(request.bytes, 12), 0));
    };
    socket.onWait = [&](int) { unanswered = 0; };
    ReplyToLast(Mac(1));
    Run103(d).SocketReadable(1);
    socket.onSend = nullptr;
    socket.onWait = nullptr;
    EXPECT_EQ(Sent(kDataRequest).size(), 2u);
    EXPECT_EQ(Sent(kWriteRequest).size(), 1u);
    EXPECT_EQ(Sent(kRestartRequest).size(), 1u);
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Filling buffer") << "shown at most every 20 ms";
    Run103(d).Click(kIdCancel);
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
}

// request at a time, and the lines catch up at most every 20 ms.
TEST_F(ScriptDialogTest, RepliesStepTheRunAtOnceAndTheLinesFollowWithinTwentyMilliseconds) {
  socket.nativeHandle = 42;
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kFlash);
  Then([](HeadlessDesktop& d) { EXPECT_EQ(Run103(d).WatchedSocket(1), 42); });
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Filling buffer");
    ReplyToLast(Mac(1));
    Run103(d).SocketReadable(1);
    EXPECT_EQ(Sent(kDataRequest).size(), 1u);
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Filling buffer") << "shown at most every 20 ms";
    // Readable without an answer to the outstanding request: nothing more goes out.
    Run103(d).SocketReadable(1);
    EXPECT_EQ(Sent(kDataRequest).size(), 1u);
    ReplyToLast(Mac(1));
    clock.Advance(20);
    Run103(d).SocketReadable(1);
    EXPECT_EQ(Sent(kDataRequest).size(), 2u);
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Sending 00001400");
    ReplyToLast(Mac(1));
    Run103(d).SocketReadable(1);
    ASSERT_EQ(Sent(kWriteRequest).size(), 1u);
    ReplyToLast(Mac(1));
    Run103(d).SocketReadable(1);
    ASSERT_EQ(Sent(kRestartRequest).size(), 1u);
    ReplyToLast(Mac(1));
    Run103(d).SocketReadable(1);
    EXPECT_EQ(FirstTarget().pendingContext, nullptr);
    EXPECT_EQ(Run103(d).Text(kIdcStatus), "Sending 00001400");
    EXPECT_EQ(Run103(d).Text(kIdCancel), "Cancel") << "the window catches up with the tick";
  });
  ThenTick();
  Then([](HeadlessDesktop& d) {
    EXPECT_EQ(Run103(d).Text(kIdcOperation), "After the download");
    EXPECT_EQ(Run103(d).ProgressPos(kIdcProgress), 1000);
    EXPECT_EQ(Run103(d).Text(kIdCancel), "Close");
    Run103(d).Click(kIdCancel);
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
  EXPECT_EQ(Sent(kDataRequest).size(), 2u);
  EXPECT_EQ(Sent(kFillRequest).size(), 1u);
}

TEST_F(ScriptDialogTest, AnErrorInAStepOnAReplyStopsTimerAndSocketWhileItIsShown) {
  socket.nativeHandle = 42;
  ThenAnnounce(Mac(1), kTargetAddress, kVendor, kProduct, 1024);
  ThenRun(kLateError);
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    ASSERT_EQ(Sent(kRestartRequest).size(), 1u);
    ReplyToLast(Mac(1));
    Run103(d).SocketReadable(1);
  });
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text,
              "QOR does not yet support multi-part downloads; download of 2048 bytes is too "
              "large for target's 1024-byte staging buffer");
    EXPECT_FALSE(Run103(d).TimerRunning(1));
    EXPECT_EQ(Run103(d).WatchedSocket(1), -1);
    d.AnswerMessageBox();
  });
  Then([](HeadlessDesktop& d) { EXPECT_FALSE(d.IsOpen(kIddScriptDialog)); });
  ThenQuit();
  Run();
  EXPECT_EQ(desktop.MessageBoxes().size(), 1u);
}

TEST_F(ScriptDialogTest, ARefusedWriteIsShownAndTheTargetIsNeverRestarted) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kFlash);
  for (int answered = 0; answered < 3; ++answered) {  // fill, two chunks
    ThenTick();
    Then([this](HeadlessDesktop&) { ReplyToLast(Mac(1)); });
  }
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    ASSERT_EQ(Sent(kWriteRequest).size(), 1u);
    EXPECT_EQ(d.MessageBox(), nullptr);
    ReplyToLast(Mac(1), 3);
  });
  ThenTick();
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text, "Target refused the WriteRequest for 00001000 (status 3)");
    EXPECT_EQ(d.MessageBox()->type, kMbOk | kMbIconExclamation);
    EXPECT_EQ(Run103(d).Text(kIdCancel), "Cancel") << "the script did not finish";
    d.AnswerMessageBox();
  });
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    EXPECT_FALSE(d.IsOpen(kIddScriptDialog));
    EXPECT_TRUE(Sent(kRestartRequest).empty());
    EXPECT_EQ(FirstTarget().pendingContext, nullptr);
  });
  ThenQuit();
  Run();
  EXPECT_EQ(desktop.MessageBoxes().size(), 1u);
}

// Both windows poll; when the main window's poll takes the reply, the run's next tick is
// brought forward to the next turn of the event loop instead of waiting out its 20 ms.
TEST_F(ScriptDialogTest, AReplyTheMainWindowTookBringsTheNextStepForward) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kFlash);
  ThenTick();
  Then([this](HeadlessDesktop& d) {
    ASSERT_EQ(Sent(kFillRequest).size(), 1u);
    ReplyToLast(Mac(1));
    d.Dialog(kIddQorDialog).FireTimer(1);
    EXPECT_TRUE(Sent(kDataRequest).empty()) << "the main window only polls";
    EXPECT_EQ(Run103(d).TimerPeriod(1), 0u);
    Run103(d).FireTimer(1);
    EXPECT_EQ(Sent(kDataRequest).size(), 1u);
    EXPECT_EQ(Run103(d).TimerPeriod(1), 20u);
    // A poll that takes nothing for the run changes nothing.
    d.Dialog(kIddQorDialog).FireTimer(1);
    EXPECT_EQ(Run103(d).TimerPeriod(1), 20u);
    Run103(d).Click(kIdCancel);
    // Gone with the run: a reply the main window takes now reaches no one.
    ReplyToLast(Mac(1));
    d.Dialog(kIddQorDialog).FireTimer(1);
  });
  ThenQuit();
  Run();
  EXPECT_EQ(Sent(kDataRequest).size(), 1u);
}

TEST_F(ScriptDialogTest, TheMainWindowKeepsPollingWhileAScriptRuns) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenRun(kQuick);
  ThenAnnounce(Mac(2), 0x7F000002);
  Then([this](HeadlessDesktop& d) {
    EXPECT_TRUE(d.Dialog(kIddQorDialog).TimerRunning(1));
    EXPECT_EQ(List().ItemCount(), 2);
    Run103(d).Click(kIdCancel);
  });
  ThenQuit();
  Run();
}

}  // namespace
}  // namespace qor::test
