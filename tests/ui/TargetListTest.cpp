#include "tests/common/SignedFixtures.h"
#include "tests/ui/AppHarness.h"
#include "ui/UiTypes.h"

namespace qor::test {
namespace {

class TargetListTest : public AppTest {
 protected:
  void SetUp() override {
    folder.Write("a.qor",
                 "*product 0x1234 0x0001 \"Demo Board\"\n"
                 "*script 0x1234 0x0001 \"Update firmware\"\n"
                 "*section \"Updating firmware\"\n");
    folder.Write("b.QOR",
                 "*script 0x1234 0x0001 \"Reset to factory settings\"\n"
                 "*section \"Resetting\"\n");
    folder.Write("c.qor", "*product 0x1234 0x0002 \"Sensor\"\n");
    folder.Write("d.qor",
                 "*script 0x5678 0x0009 \"Orphan script\"\n"
                 "*section \"Orphan\"\n");
  }

  // Right-clicks row and lets the test look at the menu, which is then dismissed.
  void ThenMenuOfRow(int row, std::function<void(const headless::ShownMenu&)> check) {
    // Handled: the window system's own handling of the click does not follow.
    Then([this, row](HeadlessDesktop&) { EXPECT_EQ(List().RightClickRow(row), 1); });
    Then([this, row, check](HeadlessDesktop& d) {
      ASSERT_NE(d.Menu(), nullptr);
      // Shown where the mouse was, owned by the list window rather than the main window.
      EXPECT_EQ(d.Menu()->at, List().RowPoint(row));
      EXPECT_EQ(d.Menu()->owner, static_cast<const ui::Window*>(&List()));
      check(*d.Menu());
      d.DismissMenu();
    });
  }
};

struct Entry {
  unsigned id;
  std::string text;
  bool grayed;
};

void ExpectMenu(const headless::ShownMenu& menu, const std::vector<std::optional<Entry>>& want) {
  ASSERT_EQ(menu.items.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const ui::MenuItem& item = menu.items[i];
    if (!want[i]) {
      EXPECT_TRUE(item.Separator()) << "item " << i;
      continue;
    }
    EXPECT_FALSE(item.Separator()) << "item " << i;
    EXPECT_EQ(item.id, want[i]->id) << "item " << i;
    EXPECT_EQ(item.text, want[i]->text) << "item " << i;
    EXPECT_EQ(item.Grayed(), want[i]->grayed) << "item " << i;
  }
}

TEST_F(TargetListTest, HasThreeColumnsSizedFromThePlaceholder) {
  Then([this](HeadlessDesktop&) {
    HeadlessList& list = List();
    // The placeholder is 306 dialog units wide: 459 pixels with the headless font.
    EXPECT_EQ(list.Bounds(), (Rect{11, 34, 470, 281}));
    ASSERT_EQ(list.Columns().size(), 3u);
    EXPECT_EQ(list.Columns()[0].heading, "Product");
    EXPECT_EQ(list.Columns()[1].heading, "MAC Address");
    EXPECT_EQ(list.Columns()[2].heading, "IP Address");
    EXPECT_EQ(list.Columns()[0].width, 153);
    EXPECT_EQ(list.Columns()[1].width, 153);
    EXPECT_EQ(list.Columns()[2].width, 459 - 2 * 153 - 4);
    for (const auto& column : list.Columns()) EXPECT_EQ(column.format, kLvcfmtLeft);
    EXPECT_EQ(list.ExtendedStyle(), style::kListExGridLines | style::kListExFullRowSelect);
    EXPECT_EQ(list.Style(), style::kChild | style::kVisible | style::kBorder | style::kTabStop |
                                style::kListReport | style::kListShowSelAlways);
  });
  ThenQuit();
  Run();
}

TEST_F(TargetListTest, RowsShowProductMacAndAddress) {
  ThenAnnounce(Mac(0x5e), kTargetAddress);
  ThenAnnounce(Mac(0x02), 0, 0x1234, 0x0002);
  ThenAnnounce(Mac(0x03), 0x7F000003, 0x5678, 0x0009);
  Then([this](HeadlessDesktop&) {
    ASSERT_EQ(List().ItemCount(), 3);
    EXPECT_EQ(List().Row(0),
              (std::vector<std::string>{"Demo Board", "00:1A:2B:3C:4D:5E", "127.0.0.20"}));
    EXPECT_EQ(List().Row(1),
              (std::vector<std::string>{"Sensor", "00:1A:2B:3C:4D:02", "Unassigned"}));
    EXPECT_EQ(List().Row(2),
              (std::vector<std::string>{"Unknown Product", "00:1A:2B:3C:4D:03", "127.0.0.3"}));
  });
  ThenQuit();
  Run();
}

TEST_F(TargetListTest, ASecondAnnouncementRewritesItsRowInPlace) {
  ThenAnnounce(Mac(1), 0x7F000001);
  ThenAnnounce(Mac(2), 0x7F000002);
  // The same target with a new address and another product: only the address is taken over.
  ThenAnnounce(Mac(1), 0x7F000009, 0x1234, 0x0002);
  Then([this](HeadlessDesktop&) {
    ASSERT_EQ(List().ItemCount(), 2);
    EXPECT_EQ(List().Row(0),
              (std::vector<std::string>{"Demo Board", "00:1A:2B:3C:4D:01", "127.0.0.9"}));
    EXPECT_EQ(List().ItemText(1, 1), "00:1A:2B:3C:4D:02");
  });
  ThenQuit();
  Run();
}

TEST_F(TargetListTest, TwoCatalogueScriptsTakeCommandsTwoAndThree) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenMenuOfRow(0, [](const headless::ShownMenu& menu) {
    ExpectMenu(menu,
               {Entry{1, "Assign IP Address...", false}, std::nullopt,
                Entry{2, "Update firmware", false}, Entry{3, "Reset to factory settings", false},
                std::nullopt, Entry{4, "Run Script...", false}});
  });
  ThenQuit();
  Run();
  EXPECT_EQ(desktop.Menus().size(), 1u);
}

TEST_F(TargetListTest, AnUnassignedTargetCanOnlyBeGivenAnAddress) {
  ThenAnnounce(Mac(1), 0);
  ThenMenuOfRow(0, [](const headless::ShownMenu& menu) {
    ExpectMenu(menu,
               {Entry{1, "Assign IP Address...", false}, std::nullopt,
                Entry{2, "Update firmware", true}, Entry{3, "Reset to factory settings", true},
                std::nullopt, Entry{4, "Run Script...", true}});
    EXPECT_EQ(menu.EnabledCommands(), std::vector<unsigned>{1});
  });
  Then([this](HeadlessDesktop&) { EXPECT_EQ(List().ItemText(0, 2), "Unassigned"); });
  ThenQuit();
  Run();
}

TEST_F(TargetListTest, ProductsWithoutScriptsGetOnlyTheTwoFixedEntries) {
  ThenAnnounce(Mac(1), kTargetAddress, 0x9999, 0x0001);  // neither name nor script
  ThenAnnounce(Mac(2), kTargetAddress, 0x1234, 0x0002);  // a name, no script
  ThenAnnounce(Mac(3), kTargetAddress, 0x5678, 0x0009);  // a script, no name
  for (int row : {0, 1}) {
    ThenMenuOfRow(row, [](const headless::ShownMenu& menu) {
      ExpectMenu(menu, {Entry{1, "Assign IP Address...", false}, Entry{2, "Run Script...", false}});
    });
  }
  ThenMenuOfRow(2, [](const headless::ShownMenu& menu) {
    ExpectMenu(menu,
               {Entry{1, "Assign IP Address...", false}, std::nullopt,
                Entry{2, "Orphan script", false}, std::nullopt, Entry{3, "Run Script...", false}});
  });
  Then([this](HeadlessDesktop&) {
    EXPECT_EQ(List().ItemText(0, 0), "Unknown Product");
    EXPECT_EQ(List().ItemText(1, 0), "Sensor");
    EXPECT_EQ(List().ItemText(2, 0), "Unknown Product");
  });
  ThenQuit();
  Run();
}

TEST_F(TargetListTest, ARightClickBelowTheLastRowOpensNoMenu) {
  ThenAnnounce(Mac(1), kTargetAddress);
  Then([this](HeadlessDesktop&) { EXPECT_EQ(List().RightClickBelowRows(), 0); });
  Then([](HeadlessDesktop& d) { EXPECT_EQ(d.Menu(), nullptr); });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.Menus().empty());
}

TEST_F(TargetListTest, AssigningAnAddressBroadcastsItAndRediscoversWithoutEmptyingTheList) {
  ThenAnnounce(Mac(7), kTargetAddress);
  Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
  Then([](HeadlessDesktop& d) { d.ChooseMenuItem(1); });
  Then([](HeadlessDesktop& d) {
    HeadlessDialog& dialog = d.Dialog(kIddIpAddressDialog);
    EXPECT_EQ(dialog.Caption(), "Assign IP Address");
    EXPECT_EQ(dialog.Owner(), &d.Dialog(kIddQorDialog));
    EXPECT_EQ(dialog.AddressFields(kIdcIpAddress),
              (std::array<std::string, 4>{"127", "0", "0", "20"}));
    dialog.TypeAddressField(kIdcIpAddress, 3, "99");
    dialog.PressEnter();
  });
  Then([this](HeadlessDesktop&) {
    const auto assigns = Sent(kAssignAddressRequest);
    ASSERT_EQ(assigns.size(), 1u);
    std::vector<uint8_t> want = Header(kAssignAddressRequest, Mac(7), 16);
    Put32(want, 12, 0x7F000063);
    EXPECT_EQ(assigns[0].bytes, want);
    EXPECT_EQ(assigns[0].address, 0xFFFFFFFFu);
    // A discovery follows the assignment at once; the list and the table keep their rows.
    ASSERT_EQ(Sent(kDiscoverRequest).size(), 2u);
    EXPECT_EQ(socket.sent.back().bytes, (std::vector<uint8_t>{0, 1, 0, 1}));
    EXPECT_EQ(List().ItemCount(), 1);
    EXPECT_EQ(List().ItemText(0, 2), "127.0.0.20");
  });
  // The target's answer, taken in by the main window's next tick, rewrites the row in place.
  ThenAnnounce(Mac(7), 0x7F000063);
  Then([this](HeadlessDesktop&) {
    EXPECT_EQ(List().ItemCount(), 1);
    EXPECT_EQ(List().ItemText(0, 2), "127.0.0.99");
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
}

// The main window stays the dialog's owner; the list supplies who holds an address.
TEST_F(TargetListTest, AnAddressAnotherListedTargetHoldsIsSentOnlyAfterYes) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenAnnounce(Mac(2), 0x7F00000B);
  ThenAnnounce(Mac(3), 0x7F00000C, 0x9999, 0x0001);
  const auto thenAssign = [this](int row) {
    Then([this, row](HeadlessDesktop&) { List().RightClickRow(row); });
    Then([](HeadlessDesktop& d) { d.ChooseMenuItem(1); });
  };
  // The target's own address again: no other target holds it.
  thenAssign(0);
  Then([](HeadlessDesktop& d) { d.Dialog(kIddIpAddressDialog).PressEnter(); });
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(d.MessageBox(), nullptr);
    ASSERT_EQ(Sent(kAssignAddressRequest).size(), 1u);
    EXPECT_EQ(Get32(Sent(kAssignAddressRequest)[0].bytes, 12), kTargetAddress);
  });
  thenAssign(0);
  Then([](HeadlessDesktop& d) {
    d.Dialog(kIddIpAddressDialog).TypeAddressField(kIdcIpAddress, 3, "11");
    d.Dialog(kIddIpAddressDialog).PressEnter();
  });
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->caption, "QOR");
    EXPECT_EQ(d.MessageBox()->text,
              "127.0.0.11 is already held by Demo Board 00:1A:2B:3C:4D:02.  Assign it all the "
              "same?");
    d.AnswerMessageBox(kIdNo);
  });
  Then([this](HeadlessDesktop& d) {
    ASSERT_TRUE(d.IsOpen(kIddIpAddressDialog));
    EXPECT_EQ(Sent(kAssignAddressRequest).size(), 1u) << "sent after No";
    d.Dialog(kIddIpAddressDialog).TypeAddressField(kIdcIpAddress, 3, "12");
    d.Dialog(kIddIpAddressDialog).PressEnter();
  });
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text,
              "127.0.0.12 is already held by Unknown Product 00:1A:2B:3C:4D:03.  Assign it all "
              "the same?");
    d.AnswerMessageBox(kIdYes);
  });
  Then([this](HeadlessDesktop& d) {
    EXPECT_FALSE(d.IsOpen(kIddIpAddressDialog));
    const auto assigns = Sent(kAssignAddressRequest);
    ASSERT_EQ(assigns.size(), 2u);
    std::vector<uint8_t> want = Header(kAssignAddressRequest, Mac(1), 16);
    Put32(want, 12, 0x7F00000C);
    EXPECT_EQ(assigns[1].bytes, want);
  });
  ThenQuit();
  Run();
  EXPECT_EQ(desktop.MessageBoxes().size(), 2u);
}

TEST_F(TargetListTest, AnAddressNoTargetCanHoldIsRefusedAndNothingIsSent) {
  ThenAnnounce(Mac(7), kTargetAddress);
  Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
  Then([](HeadlessDesktop& d) { d.ChooseMenuItem(1); });
  Then([](HeadlessDesktop& d) {
    d.Dialog(kIddIpAddressDialog).TypeAddressField(kIdcIpAddress, 0, "224");
    d.Dialog(kIddIpAddressDialog).PressEnter();
  });
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->caption, "QOR");
    EXPECT_EQ(d.MessageBox()->text,
              "224.0.0.20 is a multicast address (224.0.0.0/4); no target can hold it.");
    EXPECT_EQ(d.MessageBox()->type, kMbOk | kMbIconExclamation);
    d.AnswerMessageBox();
  });
  Then([](HeadlessDesktop& d) { d.Dialog(kIddIpAddressDialog).PressEscape(); });
  ThenQuit();
  Run();
  EXPECT_TRUE(Sent(kAssignAddressRequest).empty());
  EXPECT_EQ(Sent(kDiscoverRequest).size(), 1u) << "no rediscovery without an assignment";
}

// The list has no single-selection style: Ctrl picks several rows, and a right click within
// the selection keeps it, one outside it selects that row alone.
TEST_F(TargetListTest, SeveralRowsCanBeSelected) {
  ThenAnnounce(Mac(1), kTargetAddress);
  ThenAnnounce(Mac(2), 0x7F00000B);
  ThenAnnounce(Mac(3), 0x7F00000C);
  Then([this](HeadlessDesktop&) {
    EXPECT_EQ(List().Style() & style::kListSingleSel, 0u);
    List().ClickRow(0);
    List().ClickRow(2, true);
    EXPECT_EQ(List().SelectedRows(), (std::vector<int>{0, 2}));
    List().RightClickRow(2);
  });
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(List().SelectedRows(), (std::vector<int>{0, 2}));
    d.DismissMenu();
  });
  Then([this](HeadlessDesktop&) { List().RightClickRow(1); });
  Then([this](HeadlessDesktop& d) {
    EXPECT_EQ(List().SelectedRows(), std::vector<int>{1});
    d.DismissMenu();
  });
  ThenQuit();
  Run();
}

TEST_F(TargetListTest, CancelledAddressDialogSendsNothing) {
  ThenAnnounce(Mac(7), 0);
  Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
  Then([](HeadlessDesktop& d) { d.ChooseMenuItem(1); });
  Then([](HeadlessDesktop& d) {
    HeadlessDialog& dialog = d.Dialog(kIddIpAddressDialog);
    dialog.TypeAddressField(kIdcIpAddress, 0, "127");
    dialog.Click(kIdCancel);
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(Sent(kAssignAddressRequest).empty());
}

TEST_F(TargetListTest, AScriptFileThatCannotBeReadIsShownWithTheErrorIcon) {
  const std::string broken = folder.Write("broken.txt", "S30900021C102026120868\n");
  ThenAnnounce(Mac(1), kTargetAddress);
  Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
  Then([](HeadlessDesktop& d) { d.ChooseMenuItem(4); });
  Then([broken](HeadlessDesktop& d) { d.ChooseFile(broken); });
  Then([broken](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text, "Error in \"" + broken + "\", line 1: expected directive");
    EXPECT_EQ(d.MessageBox()->caption, "QOR");
    EXPECT_EQ(d.MessageBox()->type, kMbOk | kMbIconError);
    EXPECT_FALSE(d.IsOpen(kIddScriptDialog));
    d.AnswerMessageBox();
  });
  // The operator can try again; the list is as it was.
  Then([this](HeadlessDesktop&) {
    EXPECT_EQ(List().ItemCount(), 1);
    List().RightClickRow(0);
  });
  Then([](HeadlessDesktop& d) { d.ChooseMenuItem(4); });
  Then([](HeadlessDesktop& d) { d.CancelFileDialog(); });
  ThenQuit();
  Run();
  EXPECT_EQ(desktop.MessageBoxes().size(), 1u);
}

TEST_F(TargetListTest, RunScriptRunsTheChosenFileAgainstTheTarget) {
  TempFolder elsewhere;
  const std::string path = elsewhere.Write("other.QOR", "*section \"From a file\"\n");
  ThenAnnounce(Mac(1), kTargetAddress);
  Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
  Then([](HeadlessDesktop& d) { d.ChooseMenuItem(4); });
  Then([path](HeadlessDesktop& d) { d.ChooseFile(path); });
  ThenTick();
  Then([](HeadlessDesktop& d) {
    HeadlessDialog& run = d.Dialog(kIddScriptDialog);
    EXPECT_EQ(run.Owner(), &d.Dialog(kIddQorDialog));
    EXPECT_EQ(run.Text(kIdcOperation), "From a file");
    run.Click(kIdCancel);
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(desktop.MessageBoxes().empty());
}

TEST_F(TargetListTest, ACatalogueScriptRunsAndStaysInTheCatalogueForTheNextRun) {
  ThenAnnounce(Mac(1), kTargetAddress);
  for (int run = 0; run < 2; ++run) {
    Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
    Then([](HeadlessDesktop& d) { d.ChooseMenuItem(3); });
    ThenTick();
    Then([](HeadlessDesktop& d) {
      EXPECT_EQ(d.Dialog(kIddScriptDialog).Text(kIdcOperation), "Resetting");
      d.Dialog(kIddScriptDialog).PressEscape();
    });
  }
  ThenQuit();
  Run();
}

// With a trusted key the menu offers only the signed script, and Run Script... says why another
// file does not run, in the error box that shows every script that does not read.
TEST_F(TargetListTest, WithATrustedKeyOnlySignedScriptsAreOfferedAndRun) {
  keyFolders = {SignedFixtureKeyFolder()};
  CopySignedScript(folder.Path());  // x.QOR, for 0x1234:0x0001
  TempFolder elsewhere;
  const std::string unsigned_ = elsewhere.Write("other.QOR", "*section \"From a file\"\n");
  CopySignedScript(elsewhere.Path());
  elsewhere.Write("fw.bin", "changed");
  const std::string badImage = elsewhere.Path() + "/x.QOR";

  ThenAnnounce(Mac(1), kTargetAddress);
  ThenMenuOfRow(0, [](const headless::ShownMenu& menu) {
    ExpectMenu(menu,
               {Entry{1, "Assign IP Address...", false}, std::nullopt,
                Entry{2, "Signed update", false}, std::nullopt, Entry{3, "Run Script...", false}});
  });
  Then([this](HeadlessDesktop&) { EXPECT_EQ(List().ItemText(0, 0), "Signed Board"); });
  for (const auto& [path, message] :
       {std::pair{unsigned_, std::string("Script other.QOR is not signed")},
        std::pair{badImage, std::string("Image fw.bin of x.QOR has a bad signature")}}) {
    Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
    Then([](HeadlessDesktop& d) { d.ChooseMenuItem(3); });
    Then([path](HeadlessDesktop& d) { d.ChooseFile(path); });
    Then([message](HeadlessDesktop& d) {
      ASSERT_NE(d.MessageBox(), nullptr);
      EXPECT_EQ(d.MessageBox()->text, message);
      EXPECT_EQ(d.MessageBox()->type, kMbOk | kMbIconError);
      EXPECT_FALSE(d.IsOpen(kIddScriptDialog));
      d.AnswerMessageBox();
    });
  }
  // The signed script from the catalogue runs.
  Then([this](HeadlessDesktop&) { List().RightClickRow(0); });
  Then([](HeadlessDesktop& d) { d.ChooseMenuItem(2); });
  ThenTick();
  Then([](HeadlessDesktop& d) {
    EXPECT_EQ(d.Dialog(kIddScriptDialog).Text(kIdcOperation), "Signed");
    d.Dialog(kIddScriptDialog).PressEscape();
  });
  ThenQuit();
  Run();
  EXPECT_EQ(desktop.MessageBoxes().size(), 2u);
}

}  // namespace
}  // namespace qor::test
