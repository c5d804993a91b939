#include <stdexcept>

#include "tests/ui/AppHarness.h"
#include "ui/CDialog.h"
#include "ui/CListCtrl.h"
#include "ui/CMenu.h"
#include "ui/CStatic.h"
#include "ui/MessageBox.h"

namespace qor::test {
namespace {

// A dialog that records its handlers and can be told to fail in one of them.
class ProbeDialog : public CDialog {
 public:
  ProbeDialog(int templateId, CDialog* parent, std::vector<std::string>& log)
      : CDialog(templateId, parent), log_(log) {}
  std::function<void()> onTimer;
  std::function<bool()> onInit;

 protected:
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    log_.push_back("init " + std::to_string(TemplateId()));
    SetTimer(1, 20);
    return onInit ? onInit() : true;
  }
  void OnTimer(unsigned) override {
    if (onTimer) onTimer();
  }
  void OnDestroy() override { log_.push_back("destroy " + std::to_string(TemplateId())); }

 private:
  std::vector<std::string>& log_;
};

class DialogFrameworkTest : public ::testing::Test {
 protected:
  HeadlessDesktop desktop;
  ui::ScopedWindowSystem installed{desktop};
  std::vector<std::string> log;
};

TEST_F(DialogFrameworkTest, AnErrorEscapingAHandlerEndsEveryDialogAndReachesTheOuterCaller) {
  ProbeDialog outer(kIddQorDialog, nullptr, log);
  ProbeDialog inner(kIddAboutBox, &outer, log);
  outer.onTimer = [&] { inner.DoModal(); };
  inner.onTimer = [] { throw std::runtime_error("out of memory, say"); };
  desktop.Then([](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).FireTimer(1); });
  desktop.Then([](HeadlessDesktop& d) { d.Dialog(kIddAboutBox).FireTimer(1); });
  try {
    outer.DoModal();
    ADD_FAILURE() << "the error was lost";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "out of memory, say");
  }
  EXPECT_EQ(log, (std::vector<std::string>{"init 102", "init 100", "destroy 100", "destroy 102"}));
  EXPECT_TRUE(desktop.Dialogs().empty());
  // Both are usable again.
  desktop.Then([](HeadlessDesktop& d) { d.Dialog(kIddAboutBox).PressEscape(); });
  EXPECT_EQ(inner.DoModal(), kIdCancel);
}

TEST_F(DialogFrameworkTest, ARunLeftByAnExceptionFromTheWindowSystemLeavesNothingBehind) {
  ProbeDialog dialog(kIddQorDialog, nullptr, log);
  // No operator step queued: the headless window system gives up with HeadlessError.
  EXPECT_THROW(dialog.DoModal(), HeadlessError);
  EXPECT_EQ(CDialog::Active(), nullptr);
  EXPECT_EQ(dialog.Window(), nullptr);
  EXPECT_TRUE(desktop.Dialogs().empty());
  // And it runs again.
  desktop.Then([](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).PressEscape(); });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
}

TEST_F(DialogFrameworkTest, AnErrorFromInitialisationEndsTheDialogBeforeItTakesInput) {
  ProbeDialog dialog(kIddQorDialog, nullptr, log);
  dialog.onInit = []() -> bool { throw Exception("Could not find list rectangle on main dialog"); };
  EXPECT_THROW(dialog.DoModal(), Exception);
  EXPECT_EQ(log, (std::vector<std::string>{"init 102", "destroy 102"}));
}

// Records which handler a key reached, and ends only when told.
class KeyProbe : public CDialog {
 public:
  explicit KeyProbe(int templateId) : CDialog(templateId) {}
  std::vector<std::string> reached;

 protected:
  void OnOK() override { reached.push_back("ok"); }
  void OnCancel() override { reached.push_back("cancel"); }
  bool OnCommand(int id) override {
    reached.push_back("command " + std::to_string(id));
    return true;
  }
};

TEST_F(DialogFrameworkTest, EnterPressesTheFocusedOrDefaultButtonButNeverCancelEscapeCancels) {
  enum class Input { kEnter, kEscape, kCloseBox };
  struct Case {
    int templateId;
    int focus;  // kIdcStatic: none
    Input input;
    std::vector<std::string> reached;
  };
  const Case cases[] = {
      // Without a focused button, Enter is the template's default button, else OK.
      {kIddIpAddressDialog, kIdcStatic, Input::kEnter, {"ok"}},
      {kIddIpAddressDialog, kIdcIpAddress, Input::kEnter, {"ok"}},
      {kIddAboutBox, kIdcStatic, Input::kEnter, {"ok"}},
      {kIddQorDialog, kIdcStatic, Input::kEnter, {"ok"}},
      {kIddScriptDialog, kIdcStatic, Input::kEnter, {"ok"}},
      // A focused button takes it...
      {kIddQorDialog, kIdcRefresh, Input::kEnter, {"command 3"}},
      {kIddIpAddressDialog, kIdOk, Input::kEnter, {"ok"}},
      // ...except Cancel and Quit: Enter never cancels.
      {kIddIpAddressDialog, kIdCancel, Input::kEnter, {}},
      {kIddQorDialog, kIdCancel, Input::kEnter, {}},
      {kIddScriptDialog, kIdCancel, Input::kEnter, {}},
      // Escape and the close box are Cancel, wherever the focus is.
      {kIddQorDialog, kIdcStatic, Input::kEscape, {"cancel"}},
      {kIddQorDialog, kIdcRefresh, Input::kEscape, {"cancel"}},
      {kIddIpAddressDialog, kIdOk, Input::kEscape, {"cancel"}},
      {kIddScriptDialog, kIdCancel, Input::kEscape, {"cancel"}},
      {kIddQorDialog, kIdcRefresh, Input::kCloseBox, {"cancel"}},
  };
  for (const Case& c : cases) {
    KeyProbe probe(c.templateId);
    desktop.Then([&probe, &c](HeadlessDesktop& d) {
      HeadlessDialog& dialog = d.Dialog(c.templateId);
      if (c.focus != kIdcStatic) dialog.Focus(c.focus);
      EXPECT_EQ(dialog.FocusedControl(), c.focus);
      switch (c.input) {
        case Input::kEnter:
          dialog.PressEnter();
          break;
        case Input::kEscape:
          dialog.PressEscape();
          break;
        case Input::kCloseBox:
          dialog.CloseBox();
          break;
      }
      EXPECT_EQ(probe.reached, c.reached) << "dialog " << c.templateId << ", focus " << c.focus
                                          << ", input " << static_cast<int>(c.input);
      probe.EndDialog(kIdOk);
    });
    EXPECT_EQ(probe.DoModal(), kIdOk);
  }
}

TEST_F(DialogFrameworkTest, DialogUnitsRoundAsThePlatformDoes) {
  EXPECT_EQ(MapDialogRect({7, 21, 313, 173}, 6, 13), (Rect{11, 34, 470, 281}));
  EXPECT_EQ(MapDialogRect({2, 4, 6, 12}, 7, 15), (Rect{4, 8, 11, 23}));
  EXPECT_EQ(MapDialogRect({-2, 0, 0, 0}, 6, 13), (Rect{-3, 0, 0, 0}));
}

TEST_F(DialogFrameworkTest, ListKeepsItemDataByRow) {
  ProbeDialog dialog(kIddQorDialog, nullptr, log);
  CListCtrl list;
  EXPECT_EQ(list.InsertItem(0, "no window"), -1);
  desktop.Then([&](HeadlessDesktop& d) {
    ASSERT_TRUE(list.Create(style::kChild, {0, 0, 100, 100}, dialog, kIdcTargetList));
    EXPECT_FALSE(list.Create(style::kChild, {0, 0, 100, 100}, dialog, kIdcTargetList));
    list.InsertColumn(0, "A", kLvcfmtLeft, 50);
    EXPECT_EQ(list.InsertItem(5, "first"), 0);  // past the end: appended
    EXPECT_EQ(list.InsertItem(0, "second"), 0);
    list.SetItemData(0, 7);
    list.SetItemData(1, 9);
    EXPECT_EQ(list.GetItemText(1, 0), "first");
    EXPECT_EQ(list.GetItemData(1), 9u);
    EXPECT_EQ(list.GetItemData(2), 0u);
    EXPECT_FALSE(list.SetItemText(2, 0, "x"));
    EXPECT_TRUE(list.DeleteAllItems());
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetItemData(0), 0u);
    list.DestroyWindow();
    EXPECT_FALSE(d.Dialog(kIddQorDialog).HasList(kIdcTargetList));
    d.Dialog(kIddQorDialog).PressEscape();
  });
  dialog.DoModal();
}

// Without the single-selection style Ctrl adds rows to the selection; with it, a click on
// another row replaces it. Either way the selection stays with its rows.
TEST_F(DialogFrameworkTest, ListSelectionFollowsTheSingleSelectionStyle) {
  struct Case {
    uint32_t style;
    std::vector<int> afterCtrlClick;
  };
  const Case cases[] = {{style::kChild, {0, 1}}, {style::kChild | style::kListSingleSel, {1}}};
  for (const Case& c : cases) {
    ProbeDialog dialog(kIddQorDialog, nullptr, log);
    CListCtrl list;
    desktop.Then([&](HeadlessDesktop& d) {
      ASSERT_TRUE(list.Create(c.style, {0, 0, 100, 100}, dialog, kIdcTargetList));
      list.InsertColumn(0, "A", kLvcfmtLeft, 50);
      for (int row = 0; row < 3; ++row) list.InsertItem(row, "row");
      HeadlessList& shown = d.Dialog(kIddQorDialog).List(kIdcTargetList);
      shown.ClickRow(0);
      shown.ClickRow(1, true);
      EXPECT_EQ(shown.SelectedRows(), c.afterCtrlClick) << c.style;
      list.InsertItem(0, "new");
      std::vector<int> moved = c.afterCtrlClick;
      for (int& row : moved) ++row;
      EXPECT_EQ(shown.SelectedRows(), moved) << c.style;
      list.DestroyWindow();
      d.Dialog(kIddQorDialog).PressEscape();
    });
    dialog.DoModal();
  }
}

// Control texts convert leniently unless a control asks for all or nothing.
TEST_F(DialogFrameworkTest, AControlTextThatDoesNotConvertIsShownInPartOrNotAtAll) {
  ProbeDialog dialog(kIddScriptDialog, nullptr, log);
  desktop.unconvertibleBytes = "\x81";
  desktop.Then([&](HeadlessDesktop& d) {
    CStatic line;
    DDX_Control(dialog, kIdcStatus, line);
    line.SetText("Caf\x81 ok");
    EXPECT_EQ(line.GetText(), "Caf? ok");
    line.SetText("Caf\x81 ok", TextConversion::kStrict);
    EXPECT_EQ(line.GetText(), "");
    line.SetText("Sending 00020000", TextConversion::kStrict);
    EXPECT_EQ(line.GetText(), "Sending 00020000");
    dialog.SetDlgItemText(kIdCancel,
                          "\x81"
                          "Close");
    EXPECT_EQ(d.Dialog(kIddScriptDialog).Text(kIdCancel), "?Close");
    d.Dialog(kIddScriptDialog).PressEscape();
  });
  dialog.DoModal();
}

TEST_F(DialogFrameworkTest, AnEmptyMenuIsNotShown) {
  ProbeDialog dialog(kIddQorDialog, nullptr, log);
  desktop.Then([&](HeadlessDesktop& d) {
    CMenu menu;
    EXPECT_FALSE(menu.AppendItem(kMfString, 1, "before creation"));
    ASSERT_TRUE(menu.CreatePopupMenu());
    EXPECT_EQ(menu.TrackPopupMenu(kTpmReturnCmd, {1, 1}, dialog), 0u);
    EXPECT_TRUE(d.Menus().empty());
    d.Dialog(kIddQorDialog).PressEscape();
  });
  dialog.DoModal();
}

TEST_F(DialogFrameworkTest, ResourcesHoldEveryTemplateStringAndIcon) {
  const DialogTemplate* main = FindDialogTemplate(kIddQorDialog);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->width, 320);
  EXPECT_EQ(main->height, 200);
  EXPECT_EQ(main->fontName, "MS Shell Dlg");
  EXPECT_EQ(main->pointSize, 8);
  EXPECT_TRUE(main->Has(style::kCaption | style::kSysMenu | style::kMinimizeBox));
  EXPECT_EQ(main->exStyle, style::kExAppWindow);
  ASSERT_EQ(main->controls.size(), 4u);
  EXPECT_EQ(main->controls[0].text,
            "Right-click on a target in the list below for more options.  Click Refresh to "
            "update the list.");
  const ControlTemplate* placeholder = main->Control(kIdcTargetList);
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(placeholder->kind, ControlKind::kFrame);
  EXPECT_EQ(placeholder->style & style::kVisible, 0u);

  const DialogTemplate* run = FindDialogTemplate(kIddScriptDialog);
  ASSERT_NE(run, nullptr);
  EXPECT_FALSE(run->Has(style::kSysMenu));
  EXPECT_EQ(run->caption, "Execute Script");
  EXPECT_EQ(run->height, 65) << "the bar fits the window as it was";
  const ControlTemplate* bar = run->Control(kIdcProgress);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->kind, ControlKind::kProgress);
  // Under the status line, above the button, as wide as the two lines.
  EXPECT_GE(bar->y, run->Control(kIdcStatus)->y + run->Control(kIdcStatus)->height);
  EXPECT_LE(bar->y + bar->height, run->Control(kIdCancel)->y);
  EXPECT_EQ(bar->x, run->Control(kIdcStatus)->x);
  EXPECT_EQ(bar->width, run->Control(kIdcStatus)->width);
  const DialogTemplate* address = FindDialogTemplate(kIddIpAddressDialog);
  ASSERT_NE(address, nullptr);
  ASSERT_NE(address->Control(kIdcIpAddress), nullptr);
  EXPECT_EQ(address->Control(kIdcIpAddress)->kind, ControlKind::kIpAddress);
  EXPECT_EQ(FindDialogTemplate(101), nullptr);

  EXPECT_EQ(LoadStringResource(kIdsAboutBox), "&About QOR...");
  EXPECT_EQ(LoadStringResource(kIdpSocketsInitFailed), "Windows sockets initialization failed.");
  EXPECT_EQ(LoadStringResource(999), "");

  const IconImage& icon = LoadIconResource(kIdrMainFrame);
  EXPECT_EQ(icon.width, 32);
  EXPECT_EQ(icon.height, 32);
  ASSERT_EQ(icon.pixels.size(), 32u * 32u);
  EXPECT_EQ(icon.pixels[0] >> 24, 0u);  // transparent corner
  EXPECT_EQ(icon.pixels[20 * 32 + 16] >> 24, 0xFFu);
  EXPECT_TRUE(LoadIconResource(1).pixels.empty());
}

}  // namespace
}  // namespace qor::test
