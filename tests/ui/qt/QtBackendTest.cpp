#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>

#include "app/CIPAddressDialog.h"
#include "res/ResourceIds.h"
#include "ui/CDialog.h"
#include "ui/CListCtrl.h"
#include "ui/CMenu.h"
#include "ui/CProgressCtrl.h"
#include "ui/CWinApp.h"
#include "ui/MessageBox.h"
#include "ui/qt/QtAddressEdit.h"
#include "ui/qt/QtDialogWindow.h"
#include "ui/qt/QtListWindow.h"
#include "ui/qt/QtWindowSystem.h"

namespace qor::test {
namespace {

// One window system for the whole program, as in the real one.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "ui_qt_tests";
    static char* argv[] = {name, nullptr};
    system_ = std::make_unique<qt::QtWindowSystem>(argc, argv);
    ui::SetWindowSystem(system_.get());
  }
  void TearDown() override {
    ui::SetWindowSystem(nullptr);
    system_.reset();
  }

 private:
  std::unique_ptr<qt::QtWindowSystem> system_;
};

// Runs step once the event loop of whatever opens next is running.
void Soon(std::function<void()> step, int delayMs = 0) {
  QTimer::singleShot(delayMs, qApp, std::move(step));
}

template <typename T>
T* Active() {
  if (auto* popup = qobject_cast<T*>(QApplication::activePopupWidget())) return popup;
  return qobject_cast<T*>(QApplication::activeModalWidget());
}

void Key(QWidget* to, int key, const QString& text = QString()) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(to, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(to, &release);
}

// A dialog that shows what reaches its handlers.
class Probe : public CDialog {
 public:
  explicit Probe(int templateId) : CDialog(templateId) {}
  std::vector<std::string> log;
  std::function<void(Probe&)> onInit;
  std::function<void(Probe&, unsigned)> onTimer;
  std::function<void(Probe&, unsigned)> onSocket;
  qt::QtDialogWindow& QtWindow() { return *dynamic_cast<qt::QtDialogWindow*>(Window()); }

 protected:
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    if (onInit) onInit(*this);
    return true;
  }
  void OnOK() override { log.push_back("ok"); }
  void OnCancel() override {
    log.push_back("cancel");
    CDialog::OnCancel();
  }
  bool OnCommand(int id) override {
    log.push_back("command " + std::to_string(id));
    return true;
  }
  void OnSysCommand(unsigned command) override {
    log.push_back("sys " + std::to_string(command));
    CDialog::OnSysCommand(command);
  }
  void OnTimer(unsigned id) override {
    if (onTimer) onTimer(*this, id);
  }
  void OnSocketReadable(unsigned id) override {
    if (onSocket) onSocket(*this, id);
  }
};

TEST(QtBackendTest, DialogsAreLaidOutInDialogUnitsOfTheirFont) {
  Probe probe(kIddIpAddressDialog);
  probe.onInit = [](Probe& p) {
    qt::QtDialogWindow& window = p.QtWindow();
    const int bx = window.BaseWidth();
    const int by = window.BaseHeight();
    QFontMetrics metrics(window.Widget()->font());
    EXPECT_EQ(by, metrics.height());
    EXPECT_GT(bx, 2);
    const Rect client = MapDialogRect({0, 0, 179, 50}, bx, by);
    EXPECT_EQ(window.Widget()->size(), QSize(client.Width(), client.Height()));
    EXPECT_EQ(window.Widget()->windowTitle(), QStringLiteral("Assign IP Address"));
    const Rect ok = MapDialogRect({122, 29, 172, 43}, bx, by);
    QWidget* button = window.Control(kIdOk);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->geometry(), QRect(ok.left, ok.top, ok.Width(), ok.Height()));
    EXPECT_TRUE(qobject_cast<QPushButton*>(button)->isDefault());
    EXPECT_EQ(p.GetDlgItemRect(kIdOk), ok);
    EXPECT_NE(window.AddressEdit(kIdcIpAddress), nullptr);
    p.EndDialog(kIdCancel);
  };
  EXPECT_EQ(probe.DoModal(), kIdCancel);
}

TEST(QtBackendTest, TheScriptWindowsProgressBarSitsUnderTheStatusLineAndFollowsItsPosition) {
  Probe probe(kIddScriptDialog);
  probe.onInit = [](Probe& p) {
    qt::QtDialogWindow& window = p.QtWindow();
    auto* bar = qobject_cast<QProgressBar*>(window.Control(kIdcProgress));
    ASSERT_NE(bar, nullptr);
    const Rect place =
        MapDialogRect({78, 31, 78 + 235, 31 + 8}, window.BaseWidth(), window.BaseHeight());
    EXPECT_EQ(bar->geometry(), QRect(place.left, place.top, place.Width(), place.Height()));
    EXPECT_FALSE(bar->isTextVisible());
    CProgressCtrl control;
    DDX_Control(p, kIdcProgress, control);
    control.SetRange32(0, 1000);
    control.SetPos(250);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 1000);
    EXPECT_EQ(bar->value(), 250);
    control.SetPos(5000);  // kept within the range
    EXPECT_EQ(bar->value(), 1000);
    p.SetDlgItemText(kIdCancel, "Close");
    EXPECT_EQ(qobject_cast<QPushButton*>(window.Control(kIdCancel))->text(),
              QStringLiteral("Close"));
    p.EndDialog(kIdCancel);
  };
  EXPECT_EQ(probe.DoModal(), kIdCancel);
}

TEST(QtBackendTest, TheAddressControlReadsBlankFieldsAsZero) {
  qt::QtAddressEdit edit;
  edit.resize(150, 22);
  uint32_t address = 1;
  EXPECT_EQ(edit.Address(address), 0);
  EXPECT_EQ(address, 0u);
  edit.SetAddress(0x7F000114);
  EXPECT_EQ(edit.Field(0)->text(), QStringLiteral("127"));
  EXPECT_EQ(edit.Field(3)->text(), QStringLiteral("20"));
  EXPECT_EQ(edit.Address(address), 4);
  EXPECT_EQ(address, 0x7F000114u);
  edit.Field(1)->clear();
  edit.Field(2)->clear();
  EXPECT_EQ(edit.Address(address), 2);
  EXPECT_EQ(address, 0x7F000014u);
  edit.Clear();
  // Typing: a dot moves on to the next field; above 255 becomes 255.
  edit.Clear();
  Key(edit.Field(0), '1', QStringLiteral("1"));
  Key(edit.Field(0), '2', QStringLiteral("2"));
  Key(edit.Field(0), '.', QStringLiteral("."));
  Key(edit.Field(2), '9', QStringLiteral("9"));
  Key(edit.Field(2), '9', QStringLiteral("9"));
  Key(edit.Field(2), '9', QStringLiteral("9"));
  EXPECT_EQ(edit.Field(0)->text(), QStringLiteral("12"));
  EXPECT_EQ(edit.Field(2)->text(), QStringLiteral("255"));
  EXPECT_EQ(edit.Address(address), 2);
  EXPECT_EQ(address, 0x0C00FF00u);
}

TEST(QtBackendTest, TheAddressDialogReturnsWhatWasTyped) {
  CIPAddressDialog dialog(nullptr, 0);
  Soon([] {
    auto* form = Active<QDialog>();
    ASSERT_NE(form, nullptr);
    // No meta-object of its own: look it up by name.
    auto* edit =
        dynamic_cast<qt::QtAddressEdit*>(form->findChild<QWidget*>(QStringLiteral("control1003")));
    ASSERT_NE(edit, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(edit->Field(i)->text().isEmpty());
    edit->Field(0)->setText(QStringLiteral("127"));
    edit->Field(3)->setText(QStringLiteral("9"));
    Key(form, Qt::Key_Return);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.Address(), 0x7F000009u);
}

TEST(QtBackendTest, EnterEscapeF1AndTheCloseBoxReachTheDialog) {
  Probe probe(kIddQorDialog);
  probe.onInit = [](Probe& p) {
    p.GetSystemMenu()->AppendSeparator();
    p.GetSystemMenu()->AppendItem(kMfString, 16, "&About QOR...");
  };
  Soon([&probe] {
    QDialog* form = probe.QtWindow().Widget();
    Key(form, Qt::Key_Return);  // no default button: OK, which this dialog ignores
    Key(form, Qt::Key_F1);
    form->close();  // the close box: the system menu's Close, then cancel
  });
  EXPECT_EQ(probe.DoModal(), kIdCancel);
  EXPECT_EQ(probe.log, (std::vector<std::string>{"ok", "sys 16", "sys " + std::to_string(kScClose),
                                                 "cancel"}));
}

// Keys go where the window system sends them: to the focused control.
void KeyToFocus(int key) {
  QWidget* focus = QApplication::focusWidget();
  ASSERT_NE(focus, nullptr);
  Key(focus, key);
}

// What a window reports, as it came; it decides nothing, as a dialog behind it would.
class Recorder final : public ui::DialogEvents {
 public:
  std::vector<std::string> log;
  void InitDialogEvent() override {}
  void CommandEvent(int id) override { log.push_back("command " + std::to_string(id)); }
  void KeyEvent(ui::DialogKey key, int focusedControl) override {
    log.push_back((key == ui::DialogKey::kEnter ? "enter on " : "escape on ") +
                  std::to_string(focusedControl));
  }
  void SysCommandEvent(unsigned command) override {
    log.push_back("sys " + std::to_string(command));
  }
  void TimerEvent(unsigned) override {}
};

// Opens a window of the template over events, runs step once the window has taken the focus,
// and ends it.
void RunRecorded(int templateId, Recorder& events,
                 const std::function<void(qt::QtDialogWindow&)>& step) {
  qt::QtDialogWindow window(*FindDialogTemplate(templateId), nullptr, events);
  std::function<void(int)> whenFocused = [&](int triesLeft) {
    Soon(
        [&, triesLeft] {
          if (QApplication::focusWidget() == nullptr && triesLeft > 0) {
            whenFocused(triesLeft - 1);
            return;
          }
          step(window);
          window.End(kIdOk);
        },
        10);
  };
  whenFocused(200);
  EXPECT_EQ(window.RunModal(), kIdOk);
}

TEST(QtBackendTest, EnterAndEscapeAreReportedWithTheFocusedControlEvenOnButtons) {
  // The run's only control, Cancel, has the focus when it opens; Enter on it is reported as a
  // key, not as a click, so that the dialog can refuse it.
  Recorder run;
  RunRecorded(kIddScriptDialog, run, [](qt::QtDialogWindow& window) {
    EXPECT_EQ(QApplication::focusWidget(), window.Control(kIdCancel));
    KeyToFocus(Qt::Key_Return);
    KeyToFocus(Qt::Key_Enter);
    KeyToFocus(Qt::Key_Escape);
    qobject_cast<QPushButton*>(window.Control(kIdCancel))->click();
  });
  EXPECT_EQ(run.log,
            (std::vector<std::string>{"enter on 2", "enter on 2", "escape on 2", "command 2"}));

  // The default button does not take Enter for itself either; a field of the address control
  // reports the control it belongs to.
  Recorder address;
  RunRecorded(kIddIpAddressDialog, address, [](qt::QtDialogWindow& window) {
    window.Control(kIdOk)->setFocus();
    KeyToFocus(Qt::Key_Return);
    window.AddressEdit(kIdcIpAddress)->Field(2)->setFocus();
    KeyToFocus(Qt::Key_Return);
    KeyToFocus(Qt::Key_Escape);
  });
  EXPECT_EQ(address.log,
            (std::vector<std::string>{"enter on 1", "enter on 1003", "escape on 1003"}));

  // The main window: Quit, Refresh and the list created over the placeholder; F1 and the close
  // box are system commands.
  Recorder main;
  class : public ui::ListEvents {
    intptr_t RightClickEvent(int, Point) override { return 0; }
  } listEvents;
  RunRecorded(kIddQorDialog, main, [&listEvents](qt::QtDialogWindow& window) {
    window.AppendSystemMenuItem({16, "&About QOR...", kMfString});
    const auto list =
        window.CreateList(kIdcTargetList, {10, 30, 470, 280},
                          style::kChild | style::kVisible | style::kTabStop, listEvents);
    ASSERT_NE(list, nullptr);
    for (int id : {kIdCancel, kIdcRefresh}) {
      window.Control(id)->setFocus();
      KeyToFocus(Qt::Key_Return);
    }
    window.Widget()->findChild<QTableWidget*>()->setFocus();
    KeyToFocus(Qt::Key_Return);
    KeyToFocus(Qt::Key_F1);
    window.Widget()->close();
  });
  EXPECT_EQ(main.log, (std::vector<std::string>{"enter on 2", "enter on 3", "enter on 1001",
                                                "sys 16", "sys " + std::to_string(kScClose)}));
}

TEST(QtBackendTest, WindowTimersFireUntilKilled) {
  Probe probe(kIddScriptDialog);
  int ticks = 0;
  probe.onInit = [](Probe& p) { p.SetTimer(1, 20); };
  probe.onTimer = [&ticks](Probe& p, unsigned id) {
    EXPECT_EQ(id, 1u);
    if (++ticks == 3) p.EndDialog(kIdOk);
  };
  EXPECT_EQ(probe.DoModal(), kIdOk);
  EXPECT_EQ(ticks, 3);
}

TEST(QtBackendTest, AWatchedSocketReportsEachDatagramUntilUnwatched) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
  Probe probe(kIddScriptDialog);
  int events = 0;
  probe.onInit = [&](Probe& p) {
    p.WatchSocket(7, pair[0]);
    ASSERT_EQ(write(pair[1], "a", 1), 1);
    p.SetTimer(1, 100);  // ends the dialog once a late datagram had its chance to show
  };
  probe.onSocket = [&](Probe& p, unsigned id) {
    EXPECT_EQ(id, 7u);
    char byte = 0;
    ASSERT_EQ(read(pair[0], &byte, 1), 1);
    if (++events == 1) {
      ASSERT_EQ(write(pair[1], "b", 1), 1);
    } else {
      p.UnwatchSocket(7);
      ASSERT_EQ(write(pair[1], "c", 1), 1);  // nobody watches any more
    }
  };
  probe.onTimer = [](Probe& p, unsigned) { p.EndDialog(kIdOk); };
  probe.DoModal();
  EXPECT_EQ(events, 2);
  close(pair[0]);
  close(pair[1]);
}

TEST(QtBackendTest, TheListHasGridLinesFullRowSelectionAndReportsRightClicks) {
  class List : public CListCtrl {
   public:
    std::vector<int> rows;

   protected:
    intptr_t OnRightClick(int row, Point) override {
      rows.push_back(row);
      return 1;
    }
  } list;
  Probe probe(kIddQorDialog);
  probe.onInit = [&list](Probe& p) {
    ASSERT_TRUE(list.Create(style::kChild | style::kVisible | style::kBorder, {10, 30, 470, 280}, p,
                            kIdcTargetList));
    list.SetExtendedStyle(style::kListExGridLines | style::kListExFullRowSelect);
    list.InsertColumn(0, "Product", kLvcfmtLeft, 153);
    list.InsertColumn(1, "MAC Address", kLvcfmtLeft, 153);
    list.InsertItem(0, "Demo Board");
    list.SetItemText(0, 1, "00:1A:2B:3C:4D:5E");
    auto* table = p.QtWindow().Widget()->findChild<QTableWidget*>();
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(table->showGrid());
    EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(table->geometry(), QRect(10, 30, 460, 250));
    EXPECT_EQ(table->columnWidth(0), 153);
    EXPECT_EQ(table->horizontalHeaderItem(1)->text(), QStringLiteral("MAC Address"));
    EXPECT_EQ(table->item(0, 1)->text(), QStringLiteral("00:1A:2B:3C:4D:5E"));
    EXPECT_EQ(list.GetItemText(0, 0), "Demo Board");
    // Rows appended in one go land after the last, with their texts and item data.
    EXPECT_EQ(list.AppendRows({{"Sensor", "00:00:00:00:00:02"}, {"Relay"}}, {22, 33}), 1);
    EXPECT_EQ(table->rowCount(), 3);
    EXPECT_EQ(table->item(1, 1)->text(), QStringLiteral("00:00:00:00:00:02"));
    EXPECT_EQ(table->item(2, 0)->text(), QStringLiteral("Relay"));
    EXPECT_EQ(table->item(2, 1)->text(), QString());
    EXPECT_EQ(list.GetItemData(2), 33u);
    EXPECT_EQ(list.GetItemData(0), 0u);
    table->resize(460, 250);
    const auto rightClick = [table](const QPoint& at) {
      QContextMenuEvent click(QContextMenuEvent::Mouse, at, table->viewport()->mapToGlobal(at));
      QApplication::sendEvent(table->viewport(), &click);
    };
    const auto selected = [table] {
      std::vector<int> rows;
      for (const QModelIndex& index : table->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
      }
      std::sort(rows.begin(), rows.end());
      return rows;
    };
    // Without the single-selection style, several rows at once; a right click within the
    // selection keeps it, one outside selects its row alone.
    EXPECT_EQ(table->selectionMode(), QAbstractItemView::ExtendedSelection);
    table->selectionModel()->select(table->model()->index(1, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    table->selectionModel()->select(table->model()->index(2, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    rightClick(table->visualItemRect(table->item(2, 0)).center());
    EXPECT_EQ(selected(), (std::vector<int>{1, 2}));
    const QPoint onRow = table->visualItemRect(table->item(0, 0)).center();
    rightClick(onRow);
    EXPECT_EQ(selected(), std::vector<int>{0});
    rightClick(QPoint(onRow.x(), table->viewport()->height() - 5));
    EXPECT_EQ(selected(), std::vector<int>{0});
    p.EndDialog(kIdOk);
  };
  probe.DoModal();
  EXPECT_EQ(list.rows, (std::vector<int>{2, 0, -1}));

  // With it, one row only.
  CListCtrl single;
  Probe other(kIddQorDialog);
  other.onInit = [&single](Probe& p) {
    ASSERT_TRUE(single.Create(style::kChild | style::kVisible | style::kListSingleSel,
                              {10, 30, 470, 280}, p, kIdcTargetList));
    auto* table = p.QtWindow().Widget()->findChild<QTableWidget*>();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->selectionMode(), QAbstractItemView::SingleSelection);
    p.EndDialog(kIdOk);
  };
  other.DoModal();
}

TEST(QtBackendTest, PopUpMenusShowSeparatorsAndGreyedEntriesAndReturnTheChoice) {
  Probe probe(kIddQorDialog);
  unsigned chosen = 99;
  probe.onInit = [&chosen](Probe& p) {
    CMenu menu;
    menu.CreatePopupMenu();
    menu.AppendItem(kMfString, 1, "Assign IP Address...");
    menu.AppendSeparator();
    menu.AppendItem(kMfString | kMfGrayed, 2, "Update firmware");
    menu.AppendItem(kMfString, 3, "Run Script...");
    Soon([] {
      auto* open = Active<QMenu>();
      ASSERT_NE(open, nullptr);
      const auto actions = open->actions();
      ASSERT_EQ(actions.size(), 4);
      EXPECT_TRUE(actions[1]->isSeparator());
      EXPECT_FALSE(actions[2]->isEnabled());
      EXPECT_EQ(actions[3]->text(), QStringLiteral("Run Script..."));
      open->setActiveAction(actions[3]);
      Key(open, Qt::Key_Return);
    });
    chosen = menu.TrackPopupMenu(kTpmReturnCmd, {100, 100}, p);
    p.EndDialog(kIdOk);
  };
  probe.DoModal();
  EXPECT_EQ(chosen, 3u);
}

// The list's context menu belongs to the list's widget, not to the dialog's.
TEST(QtBackendTest, AMenuOwnedByTheListIsAChildOfTheListsWidget) {
  CListCtrl list;
  Probe probe(kIddQorDialog);
  const QWidget* parent = nullptr;
  const QWidget* table = nullptr;
  probe.onInit = [&](Probe& p) {
    ASSERT_TRUE(
        list.Create(style::kChild | style::kVisible, {10, 30, 470, 280}, p, kIdcTargetList));
    table = p.QtWindow().Widget()->findChild<QTableWidget*>();
    CMenu menu;
    menu.CreatePopupMenu();
    menu.AppendItem(kMfString, 1, "Assign IP Address...");
    Soon([&parent] {
      auto* open = Active<QMenu>();
      ASSERT_NE(open, nullptr);
      parent = open->parentWidget();
      Key(open, Qt::Key_Escape);
    });
    EXPECT_EQ(menu.TrackPopupMenu(kTpmReturnCmd, {100, 100}, list), 0u);
    p.EndDialog(kIdOk);
  };
  probe.DoModal();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(parent, table);
}

// A question: Yes and No, No the default, Escape No; the answer comes back as on Windows.
TEST(QtBackendTest, AYesNoQuestionDefaultsToNo) {
  CWinApp app("QOR");
  struct Case {
    QMessageBox::StandardButton pressed;  // NoButton: Escape
    int answer;
  };
  for (const Case& c : {Case{QMessageBox::Yes, kIdYes}, Case{QMessageBox::No, kIdNo},
                        Case{QMessageBox::NoButton, kIdNo}}) {
    Soon([c] {
      auto* box = Active<QMessageBox>();
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->windowTitle(), QStringLiteral("QOR"));
      EXPECT_EQ(box->icon(), QMessageBox::Question);
      EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
      EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
      if (c.pressed == QMessageBox::NoButton) {
        Key(box, Qt::Key_Escape);
      } else {
        box->button(c.pressed)->click();
      }
    });
    EXPECT_EQ(AfxMessageBox("127.0.0.11 is already held by Demo Board 00:1A:2B:3C:4D:02.  "
                            "Assign it all the same?",
                            kMbYesNo | kMbIconQuestion | kMbDefButton2),
              c.answer);
  }
}

// Texts are UTF-8 here: a byte sequence that is not blanks a line that asks for all or nothing,
// and is replaced elsewhere.
TEST(QtBackendTest, AControlTextThatDoesNotConvertIsShownInPartOrNotAtAll) {
  Probe probe(kIddScriptDialog);
  probe.onInit = [](Probe& p) {
    auto* line = qobject_cast<QLabel*>(p.QtWindow().Control(kIdcStatus));
    ASSERT_NE(line, nullptr);
    p.QtWindow().SetControlText(kIdcStatus, "Caf\xE9", TextConversion::kStrict);
    EXPECT_EQ(line->text(), QString());
    p.QtWindow().SetControlText(kIdcStatus, "Caf\xC3\xA9", TextConversion::kStrict);
    EXPECT_EQ(line->text(), QStringLiteral("Caf\u00e9"));
    p.QtWindow().SetControlText(kIdcStatus, "Caf\xE9", TextConversion::kLenient);
    EXPECT_EQ(line->text(), QStringLiteral("Caf\ufffd"));
    p.EndDialog(kIdCancel);
  };
  probe.DoModal();
}

TEST(QtBackendTest, MessageBoxesCarryTheApplicationTitleAndTheirIcon) {
  CWinApp app("QOR");
  for (unsigned icon : {kMbIconExclamation, kMbIconError}) {
    Soon([icon] {
      auto* box = Active<QMessageBox>();
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->windowTitle(), QStringLiteral("QOR"));
      EXPECT_EQ(box->text(), QStringLiteral("Failed sendto: network down"));
      EXPECT_EQ(box->icon(), icon == kMbIconError ? QMessageBox::Critical : QMessageBox::Warning);
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      box->accept();
    });
    EXPECT_EQ(AfxMessageBox("Failed sendto: network down", kMbOk | icon), kIdOk);
  }
}

TEST(QtBackendTest, TheOpenFileDialogOffersTheTwoFilters) {
  Soon([] {
    auto* dialog = Active<QFileDialog>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Open Script File"));
    EXPECT_EQ(dialog->nameFilters(), (QStringList{QStringLiteral("QOR Scripts (.QOR) (*.QOR)"),
                                                  QStringLiteral("All Files (*)")}));
    // Shown without its pattern.
    EXPECT_EQ(dialog->selectedNameFilter(), QStringLiteral("QOR Scripts (.QOR)"));
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("QOR"));
    EXPECT_EQ(dialog->directory().absolutePath(), QStringLiteral("/tmp"));
    dialog->reject();
  });
  ui::OpenFileRequest request;
  request.title = "Open Script File";
  request.filters = {{"QOR Scripts (.QOR)", "*.QOR"}, {"All Files", "*.*"}};
  request.initialDirectory = "/tmp";
  request.defaultExtension = "QOR";
  const ui::OpenFileResult result = ui::CurrentWindowSystem().ShowOpenFileDialog(request);
  EXPECT_FALSE(result.chosen);
}

}  // namespace
}  // namespace qor::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::AddGlobalTestEnvironment(new qor::test::QtEnvironment);
  return RUN_ALL_TESTS();
}
