#include <regex>

#include "app/CTargetListCtrl.h"
#include "tests/ui/AppHarness.h"
#include "ui/UiTypes.h"

namespace qor::test {
namespace {

using MainDialogTest = AppTest;

TEST_F(MainDialogTest, EnterKeepsTheDialogOpenAndEscapeEndsTheProgram) {
  Then([](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).PressEnter(); });
  // Enter on a focused Quit does not quit; on Refresh it refreshes.
  Then([](HeadlessDesktop& d) {
    d.Dialog(kIddQorDialog).Focus(kIdCancel);
    d.Dialog(kIddQorDialog).PressEnter();
  });
  Then([this](HeadlessDesktop& d) {
    ASSERT_TRUE(d.IsOpen(kIddQorDialog));
    EXPECT_EQ(Sent(kDiscoverRequest).size(), 1u);
    d.Dialog(kIddQorDialog).Focus(kIdcRefresh);
    d.Dialog(kIddQorDialog).PressEnter();
  });
  Then([this](HeadlessDesktop& d) {
    ASSERT_TRUE(d.IsOpen(kIddQorDialog));
    EXPECT_FALSE(d.Dialog(kIddQorDialog).Ended());
    EXPECT_EQ(Sent(kDiscoverRequest).size(), 2u);
    d.Dialog(kIddQorDialog).PressEscape();
  });
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(desktop.IsOpen(kIddQorDialog));
  EXPECT_TRUE(socket.closed);
}

TEST_F(MainDialogTest, TheCloseBoxEndsTheProgramToo) {
  Then([](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).CloseBox(); });
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(socket.closed);
}

TEST_F(MainDialogTest, ShowsItsStaticTextAndButtons) {
  Then([](HeadlessDesktop& d) {
    HeadlessDialog& main = d.Dialog(kIddQorDialog);
    EXPECT_EQ(main.Text(kIdcRefresh), "Refresh");
    EXPECT_EQ(main.Text(kIdCancel), "Quit");
    d.Dialog(kIddQorDialog).Click(kIdCancel);
  });
  Run();
}

TEST_F(MainDialogTest, SystemCommandsSixteenToThirtyOneOpenTheAboutBox) {
  Then([](HeadlessDesktop& d) {
    const auto& menu = d.Dialog(kIddQorDialog).SystemMenu();
    ASSERT_EQ(menu.size(), 2u);
    EXPECT_TRUE(menu[0].Separator());
    EXPECT_EQ(menu[1].id, 16u);
    EXPECT_EQ(menu[1].text, "&About QOR...");
  });
  for (unsigned command : {16u, 17u, 24u, 31u}) {
    Then([command](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).ChooseSystemMenuItem(command); });
    Then([command](HeadlessDesktop& d) {
      ASSERT_TRUE(d.IsOpen(kIddAboutBox)) << "command " << command;
      HeadlessDialog& about = d.Dialog(kIddAboutBox);
      EXPECT_EQ(about.Caption(), "About QOR");
      EXPECT_TRUE(
          std::regex_match(about.Text(kIdcBuildLine),
                           std::regex("Version [0-9.]+, built [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}")))
          << about.Text(kIdcBuildLine);
      about.PressEnter();
    });
  }
  // 32 is outside the About entry's range: the platform gets it, and nothing opens.
  Then([](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).ChooseSystemMenuItem(32); });
  Then([](HeadlessDesktop& d) {
    EXPECT_FALSE(d.IsOpen(kIddAboutBox));
    d.Dialog(kIddQorDialog).ChooseSystemMenuItem(kScMinimize);
  });
  Then([](HeadlessDesktop& d) {
    EXPECT_TRUE(d.Dialog(kIddQorDialog).Minimized());
    d.Dialog(kIddQorDialog).ChooseSystemMenuItem(kScClose);
  });
  Run();
  EXPECT_EQ(desktop.Events().back(), "socket destroyed");
}

TEST_F(MainDialogTest, PollsEveryTwentyMillisecondsFromTheEndOfThePreviousPoll) {
  ThenTick();
  Then([](HeadlessDesktop& d) {
    HeadlessDialog& main = d.Dialog(kIddQorDialog);
    EXPECT_TRUE(main.TimerRunning(1));
    EXPECT_EQ(main.TimerPeriod(1), 20u);
  });
  ThenQuit();
  Run();
}

TEST_F(MainDialogTest, RefreshEmptiesTheListAndRowsComeBackInArrivalOrder) {
  ThenAnnounce(Mac(1), 0x7F000001);
  ThenAnnounce(Mac(2), 0x7F000002);
  Then([this](HeadlessDesktop& d) {
    ASSERT_EQ(List().ItemCount(), 2);
    EXPECT_EQ(List().ItemText(0, 1), "00:1A:2B:3C:4D:01");
    d.Dialog(kIddQorDialog).Click(kIdcRefresh);
    // At once, before any target answers.
    EXPECT_EQ(List().ItemCount(), 0);
    EXPECT_EQ(Sent(kDiscoverRequest).size(), 2u);
  });
  ThenTick();
  Then([this](HeadlessDesktop&) { EXPECT_EQ(List().ItemCount(), 0); });
  ThenAnnounce(Mac(2), 0x7F000002);
  ThenAnnounce(Mac(1), 0x7F000001);
  Then([this](HeadlessDesktop&) {
    ASSERT_EQ(List().ItemCount(), 2);
    EXPECT_EQ(List().ItemText(0, 1), "00:1A:2B:3C:4D:02");
    EXPECT_EQ(List().ItemText(1, 1), "00:1A:2B:3C:4D:01");
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
}

// Thousands of answers in one poll are listed in batches, one per tick, in order of arrival,
// so the window keeps responding; a target re-announcing itself meanwhile is shown as it is
// when its row comes, and Refresh forgets the ones still waiting.
TEST_F(MainDialogTest, ThousandsOfAnswersAreListedInBatchesInOrderOfArrival) {
  constexpr int kTargets = 2500;
  const auto mac = [](int i) {
    return MacAddress{{0x02, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}};
  };
  Then([&, this](HeadlessDesktop&) {
    for (int i = 0; i < kTargets; ++i) {
      socket.Deliver(
          DiscoverReply(mac(i), 0x7F000100u + static_cast<uint32_t>(i), kVendor, kProduct));
    }
    // The last one again, with another address, before its row exists.
    socket.Deliver(DiscoverReply(mac(kTargets - 1), 0x7F000001, kVendor, kProduct));
  });
  ThenTick();
  Then([&, this](HeadlessDesktop&) {
    ASSERT_EQ(List().ItemCount(), static_cast<int>(CTargetListCtrl::kRowsPerBatch));
    EXPECT_EQ(List().ItemText(0, 1), "02:00:00:00:00:00");
    EXPECT_EQ(List().ItemText(999, 1), "02:00:00:00:03:E7");
    // A listed target announcing itself again is rewritten in place.
    socket.Deliver(DiscoverReply(mac(5), 0, kVendor, kProduct));
  });
  ThenTick();
  Then([&, this](HeadlessDesktop&) {
    ASSERT_EQ(List().ItemCount(), 2000);
    EXPECT_EQ(List().ItemText(5, 2), "Unassigned");
  });
  ThenTick();
  Then([&, this](HeadlessDesktop& d) {
    ASSERT_EQ(List().ItemCount(), kTargets);
    for (int row = 0; row < kTargets; row += 499) {
      EXPECT_EQ(List().ItemText(row, 1), mac(row).ToString()) << row;
    }
    EXPECT_EQ(List().ItemText(kTargets - 1, 2), "127.0.0.1");
    for (int i = 0; i < 1500; ++i)
      socket.Deliver(DiscoverReply(mac(i), 0x7F000002, kVendor, kProduct));
    d.Dialog(kIddQorDialog).Click(kIdcRefresh);
  });
  ThenTick();  // the answers to the old discovery arrive after Refresh: they are listed anew
  Then([&, this](HeadlessDesktop&) {
    ASSERT_EQ(List().ItemCount(), 1000);
    EXPECT_EQ(List().ItemText(0, 2), "127.0.0.2");
  });
  ThenTick();
  Then([&, this](HeadlessDesktop& d) {
    ASSERT_EQ(List().ItemCount(), 1500);
    // Refresh with rows still waiting: none of them may come back.
    for (int i = 1500; i < 3500; ++i)
      socket.Deliver(DiscoverReply(mac(i), 0x7F000003, kVendor, kProduct));
    d.FireTimers();
    ASSERT_EQ(List().ItemCount(), 2500);
    d.Dialog(kIddQorDialog).Click(kIdcRefresh);
  });
  ThenTick();
  Then([this](HeadlessDesktop&) { EXPECT_EQ(List().ItemCount(), 0); });
  ThenQuit();
  Run();
}

TEST_F(MainDialogTest, FailedDiscoveryIsShownAndTheDialogGoesOnWithAnEmptyList) {
  ThenAnnounce(Mac(1), 0x7F000001);
  Then([this](HeadlessDesktop& d) {
    socket.sendError = 10065;
    d.Dialog(kIddQorDialog).Click(kIdcRefresh);
  });
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text, "Failed sendto: remote host unreachable");
    EXPECT_EQ(d.MessageBox()->caption, "QOR");
    EXPECT_EQ(d.MessageBox()->type, kMbOk | kMbIconExclamation);
    EXPECT_EQ(d.MessageBox()->ownerTemplate, kIddQorDialog);
    d.AnswerMessageBox();
  });
  Then([this](HeadlessDesktop& d) {
    EXPECT_TRUE(d.IsOpen(kIddQorDialog));
    EXPECT_EQ(List().ItemCount(), 0);
    EXPECT_EQ(socket.closed, false);
  });
  ThenQuit();
  EXPECT_EQ(Run(), 0);
}

}  // namespace
}  // namespace qor::test
