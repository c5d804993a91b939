// The Win32 backend in this process, on a display (scripts/wine-run --display): dialogs from the
// templates, the list view, the system menu, timers, the address control, keys, the icon,
// pop-up menus, the common dialogs, watched sockets, texts that do not convert, and the Assign
// IP Address dialog on it.
// windows.h with the sockets of today, not the older header it would bring by itself.
#include <winsock2.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/CIPAddressDialog.h"
#include "platform/WideText.h"
#include "res/ResourceIds.h"
#include "res/Resources.h"
#include "tests/common/TempFiles.h"
#include "ui/CWinApp.h"
#include "ui/win32/Win32DialogWindow.h"
#include "ui/win32/Win32ListWindow.h"
#include "ui/win32/Win32WindowSystem.h"

namespace qor::win32 {
namespace {

// What a dialog reports, each as a line; a test adds what it does on each event.
class RecordingEvents final : public ui::DialogEvents {
 public:
  void InitDialogEvent() override {
    log.push_back("init");
    if (onInit) onInit();
  }
  void CommandEvent(int id) override {
    log.push_back("command " + std::to_string(id));
    if (onCommand) onCommand(id);
  }
  void KeyEvent(ui::DialogKey key, int focused) override {
    log.push_back(std::string(key == ui::DialogKey::kEnter ? "enter " : "escape ") +
                  std::to_string(focused));
    if (onKey) onKey(key, focused);
  }
  void SysCommandEvent(unsigned command) override {
    log.push_back("syscommand " + std::to_string(command));
  }
  void TimerEvent(unsigned id) override {
    log.push_back("timer " + std::to_string(id));
    if (onTimer) onTimer(id);
  }
  void SocketEvent(unsigned id) override {
    if (onSocket) onSocket(id);
  }

  std::vector<std::string> log;
  std::function<void()> onInit;
  std::function<void(int)> onCommand;
  std::function<void(ui::DialogKey, int)> onKey;
  std::function<void(unsigned)> onTimer;
  std::function<void(unsigned)> onSocket;
};

class NoListEvents final : public ui::ListEvents {
 public:
  intptr_t RightClickEvent(int row, Point) override {
    rows.push_back(row);
    return result;
  }
  std::vector<int> rows;
  intptr_t result = 0;
};

// Counts the messages of one kind that reach each window it is put on.
class MessageCounter {
 public:
  explicit MessageCounter(UINT message) { message_ = message; }
  ~MessageCounter() {
    for (const auto& [window, original] : originals_) {
      if (IsWindow(window)) SetWindowLongPtrW(window, GWLP_WNDPROC, original);
    }
    originals_.clear();
    counts_.clear();
  }
  MessageCounter(const MessageCounter&) = delete;
  MessageCounter& operator=(const MessageCounter&) = delete;

  void Watch(HWND window) {
    originals_[window] = SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc));
  }
  [[nodiscard]] int Count(HWND window) const {
    const auto found = counts_.find(window);
    return found == counts_.end() ? 0 : found->second;
  }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == message_) ++counts_[window];
    return CallWindowProcW(reinterpret_cast<WNDPROC>(originals_.at(window)), window, message, w, l);
  }
  static inline UINT message_ = 0;
  static inline std::map<HWND, LONG_PTR> originals_;
  static inline std::map<HWND, int> counts_;
};

// The thread's ANSI code page for the length of a test: Japanese (932), where the lead byte
// 0x82 needs a second byte, so that a text can fail to convert.
class JapaneseThreadCodePage {
 public:
  JapaneseThreadCodePage() : before_(GetThreadLocale()) {
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
  }
  ~JapaneseThreadCodePage() { SetThreadLocale(before_); }
  JapaneseThreadCodePage(const JapaneseThreadCodePage&) = delete;
  JapaneseThreadCodePage& operator=(const JapaneseThreadCodePage&) = delete;

 private:
  LCID before_;
};

class Win32BackendTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(system.InitCommonControls(kIccWin95Classes)); }

  std::unique_ptr<Win32DialogWindow> Open(int templateId, RecordingEvents& events,
                                          Win32DialogWindow* owner = nullptr) {
    auto window = system.CreateDialogWindow(*FindDialogTemplate(templateId), owner, events);
    return std::unique_ptr<Win32DialogWindow>(static_cast<Win32DialogWindow*>(window.release()));
  }

  static std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
  }

  static std::wstring TextOf(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
  }

  // Runs action from inside the window system's next modal loop (a menu's, a message box's),
  // every 50 ms until it reports it is done. A loop that never lets it be done is closed after
  // five seconds, with a failure, so that the test ends.
  static void SoonInsideModalLoop(std::function<bool()> action) {
    static std::function<bool()> pending;
    static DWORD started = 0;
    pending = std::move(action);
    started = GetTickCount();
    SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
      if (pending()) {
        KillTimer(nullptr, id);
      } else if (GetTickCount() - started > 5000) {
        KillTimer(nullptr, id);
        ADD_FAILURE() << "the modal loop never became ready";
        EndMenu();
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND window, LPARAM) -> BOOL {
              if (IsWindowVisible(window)) PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
              return TRUE;
            },
            0);
      }
    });
  }

  // Dispatches this thread's messages until done() holds or the time (ms) passes.
  static void PumpUntil(const std::function<bool()>& done, DWORD limit = 2000) {
    const DWORD start = GetTickCount();
    while (!done() && GetTickCount() - start < limit) {
      MSG message;
      if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
      } else {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      }
    }
  }

  static HWND FindOwnWindow(const wchar_t* className, const wchar_t* caption) {
    struct Search {
      const wchar_t* className;
      const wchar_t* caption;
      HWND found;
    } search{className, caption, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM context) -> BOOL {
          auto& s = *reinterpret_cast<Search*>(context);
          if (!IsWindowVisible(window) || ClassOf(window) != s.className) return TRUE;
          if (s.caption != nullptr && TextOf(window) != s.caption) return TRUE;
          s.found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  Win32WindowSystem system;
};

// Every template becomes a dialog of the dialog manager whose controls sit at their
// dialog-unit rectangles, mapped as the platform maps them.
TEST_F(Win32BackendTest, TemplatesBecomeDialogsWithControlsAtTheirDialogUnits) {
  for (const int id : {kIddAboutBox, kIddQorDialog, kIddScriptDialog, kIddIpAddressDialog}) {
    const DialogTemplate& dialog = *FindDialogTemplate(id);
    RecordingEvents events;
    const auto window = Open(id, events);
    ASSERT_NE(window, nullptr) << id;
    const HWND handle = window->Handle();
    EXPECT_EQ(ClassOf(handle), L"#32770");
    EXPECT_EQ(NarrowText(TextOf(handle)), dialog.caption);
    const LONG_PTR styleBits = GetWindowLongPtrW(handle, GWL_STYLE);
    const LONG_PTR exStyleBits = GetWindowLongPtrW(handle, GWL_EXSTYLE);
    EXPECT_EQ((styleBits & WS_SYSMENU) != 0, dialog.Has(style::kSysMenu)) << id;
    EXPECT_EQ((styleBits & WS_MINIMIZEBOX) != 0, dialog.Has(style::kMinimizeBox)) << id;
    EXPECT_EQ((exStyleBits & WS_EX_APPWINDOW) != 0, (dialog.exStyle & style::kExAppWindow) != 0)
        << id;

    RECT client{0, 0, dialog.width, dialog.height};
    ASSERT_TRUE(MapDialogRect(handle, &client));
    RECT actual;
    GetClientRect(handle, &actual);
    EXPECT_EQ(actual.right, client.right) << id;
    EXPECT_EQ(actual.bottom, client.bottom) << id;
    // The framework's own conversion agrees with the platform's, given its base units.
    RECT base{0, 0, 4, 8};
    MapDialogRect(handle, &base);

    HWND child = GetWindow(handle, GW_CHILD);
    for (const ControlTemplate& control : dialog.controls) {
      ASSERT_NE(child, nullptr) << id;
      // The dialog manager maps the position and the size, each on its own.
      RECT units{control.x, control.y, control.width, control.height};
      RECT mapped = units;
      MapDialogRect(handle, &mapped);
      const RECT expected{mapped.left, mapped.top, mapped.left + mapped.right,
                          mapped.top + mapped.bottom};
      RECT placed;
      GetWindowRect(child, &placed);
      MapWindowPoints(nullptr, handle, reinterpret_cast<POINT*>(&placed), 2);
      if (control.kind == ControlKind::kIcon) {
        // An icon static takes the icon's own size; it stays where the template puts it.
        EXPECT_EQ(placed.left, expected.left) << id;
        EXPECT_EQ(placed.top, expected.top) << id;
      } else {
        EXPECT_TRUE(EqualRect(&placed, &expected)) << id << " control " << control.id;
      }
      EXPECT_EQ(qor::MapDialogRect({units.left, units.top, units.right, units.bottom}, base.right,
                                   base.bottom),
                (Rect{mapped.left, mapped.top, mapped.right, mapped.bottom}));
      const std::wstring className = ClassOf(child);
      switch (control.kind) {
        case ControlKind::kPushButton:
          EXPECT_EQ(className, L"Button");
          EXPECT_EQ(NarrowText(TextOf(child)), control.text);
          EXPECT_EQ((GetWindowLongPtrW(child, GWL_STYLE) & BS_DEFPUSHBUTTON) != 0,
                    (control.style & style::kDefPushButton) != 0);
          break;
        case ControlKind::kIpAddress:
          EXPECT_EQ(className, WC_IPADDRESSW);
          break;
        case ControlKind::kProgress:
          EXPECT_EQ(className, PROGRESS_CLASSW);
          break;
        case ControlKind::kIcon:
          EXPECT_EQ(className, L"Static");
          EXPECT_NE(SendMessageW(child, STM_GETICON, 0, 0), 0) << "no icon shown";
          break;
        default:
          EXPECT_EQ(className, L"Static");
          EXPECT_EQ(NarrowText(TextOf(child)), control.text);
          EXPECT_EQ((GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) != 0,
                    (control.style & style::kVisible) != 0);
          break;
      }
      if (control.id != kIdcStatic) {
        EXPECT_EQ(window->ControlRect(control.id),
                  (Rect{expected.left, expected.top, expected.right, expected.bottom}));
      }
      child = GetWindow(child, GW_HWNDNEXT);
    }
  }
}

TEST_F(Win32BackendTest, TheListShowsRowsInReportStyle) {
  RecordingEvents events;
  const auto window = Open(kIddQorDialog, events);
  ASSERT_NE(window, nullptr);
  NoListEvents listEvents;
  const Rect rect = *window->ControlRect(kIdcTargetList);
  const uint32_t listStyle = style::kChild | style::kVisible | style::kBorder | style::kTabStop |
                             style::kListReport | style::kListShowSelAlways;
  auto list = window->CreateList(kIdcTargetList, rect, listStyle, listEvents);
  ASSERT_NE(list, nullptr);
  const HWND handle = FindWindowExW(window->Handle(), nullptr, WC_LISTVIEWW, nullptr);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(GetDlgCtrlID(handle), kIdcTargetList);
  const LONG_PTR styleBits = GetWindowLongPtrW(handle, GWL_STYLE);
  EXPECT_EQ(styleBits & LVS_TYPEMASK, LVS_REPORT);
  EXPECT_NE(styleBits & LVS_SHOWSELALWAYS, 0);
  EXPECT_NE(styleBits & WS_BORDER, 0);

  list->SetExtendedStyle(style::kListExGridLines | style::kListExFullRowSelect);
  EXPECT_EQ(SendMessageW(handle, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0),
            LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  list->InsertColumn(0, "Product", kLvcfmtLeft, 100);
  list->InsertColumn(1, "MAC Address", kLvcfmtLeft, 120);
  list->InsertColumn(2, "IP Address", kLvcfmtLeft, 80);
  EXPECT_EQ(SendMessageW(handle, LVM_GETCOLUMNWIDTH, 1, 0), 120);
  list->InsertItem(0, "");
  list->SetItemText(0, 0, "QOR Demo Board");
  list->SetItemText(0, 1, "02:00:00:00:00:01");
  list->SetItemText(0, 2, "127.0.0.10");
  list->InsertItem(1, "");
  list->SetItemText(1, 2, std::string(600, 'x'));
  EXPECT_EQ(list->ItemCount(), 2);
  EXPECT_EQ(list->ItemText(0, 0), "QOR Demo Board");
  EXPECT_EQ(list->ItemText(0, 1), "02:00:00:00:00:01");
  EXPECT_EQ(list->ItemText(0, 2), "127.0.0.10");
  EXPECT_EQ(list->ItemText(1, 2), std::string(600, 'x'));  // longer than a first buffer

  // A right click on a row reaches the list's events with that row; below the rows, with -1.
  RECT row{};
  row.left = LVIR_BOUNDS;
  SendMessageW(handle, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
  const int y = (row.top + row.bottom) / 2;
  PostMessageW(handle, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(10, y));
  PostMessageW(handle, WM_RBUTTONUP, 0, MAKELPARAM(10, y));
  PostMessageW(handle, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(10, rect.Height() - 10));
  PostMessageW(handle, WM_RBUTTONUP, 0, MAKELPARAM(10, rect.Height() - 10));
  PumpUntil([&] { return listEvents.rows.size() >= 2; });
  EXPECT_EQ(listEvents.rows, (std::vector<int>{0, -1}));

  list->DeleteAllItems();
  EXPECT_EQ(list->ItemCount(), 0);
}

TEST_F(Win32BackendTest, TheSystemMenuGetsTheAboutEntry) {
  RecordingEvents events;
  const auto window = Open(kIddQorDialog, events);
  ASSERT_NE(window, nullptr);
  const HMENU menu = GetSystemMenu(window->Handle(), FALSE);
  ASSERT_NE(menu, nullptr);
  const int before = GetMenuItemCount(menu);
  window->AppendSystemMenuItem({0, "", kMfSeparator});
  window->AppendSystemMenuItem({16, LoadStringResource(kIdsAboutBox), kMfString});
  ASSERT_EQ(GetMenuItemCount(menu), before + 2);
  EXPECT_NE(GetMenuState(menu, static_cast<UINT>(before), MF_BYPOSITION) & MF_SEPARATOR, 0u);
  wchar_t text[64] = {};
  GetMenuStringW(menu, 16, text, 64, MF_BYCOMMAND);
  EXPECT_EQ(std::wstring(text), L"&About QOR...");
  EXPECT_EQ(GetMenuItemID(menu, before + 1), 16u);

  // The entry's command reaches the dialog as it comes, low bits and all.
  SendMessageW(window->Handle(), WM_SYSCOMMAND, 16, 0);
  SendMessageW(window->Handle(), WM_SYSCOMMAND, 19, 0);
  EXPECT_EQ(events.log, (std::vector<std::string>{"syscommand 16", "syscommand 19"}));
}

// Timers fire while the dialog runs, also those of the window it is opened from, which takes
// no input meanwhile.
TEST_F(Win32BackendTest, TimersFireInTheModalRunAndBehindIt) {
  RecordingEvents outerEvents;
  const auto outer = Open(kIddQorDialog, outerEvents);
  ASSERT_NE(outer, nullptr);
  int outerTicks = 0;
  int innerTicks = 0;
  bool ownerDisabled = false;
  outerEvents.onInit = [&] { outer->SetTimer(1, 10); };
  outerEvents.onTimer = [&](unsigned) {
    if (++outerTicks != 1) return;
    RecordingEvents innerEvents;
    const auto inner = Open(kIddScriptDialog, innerEvents, outer.get());
    ASSERT_NE(inner, nullptr);
    innerEvents.onInit = [&] { inner->SetTimer(7, 10); };
    innerEvents.onTimer = [&](unsigned id) {
      EXPECT_EQ(id, 7u);
      ownerDisabled = !IsWindowEnabled(outer->Handle());
      if (++innerTicks == 5) inner->End(kIdCancel);
    };
    EXPECT_EQ(inner->RunModal(), kIdCancel);
    EXPECT_TRUE(IsWindowEnabled(outer->Handle()));
    outer->End(kIdOk);
  };
  EXPECT_EQ(outer->RunModal(), kIdOk);
  EXPECT_EQ(innerTicks, 5);
  EXPECT_TRUE(ownerDisabled);
  EXPECT_GE(outerTicks, 2) << "the owner's timer stopped while the inner dialog ran";
}

// A datagram on a watched socket is reported under the watch's id, each one, until unwatched.
// (Loopback only: nothing leaves the machine.)
TEST_F(Win32BackendTest, AWatchedSocketReportsEachDatagramUntilUnwatched) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
  const SOCKET watched = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  const SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  ASSERT_EQ(bind(watched, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(watched, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const auto send = [&](const char* text) {
    ASSERT_EQ(sendto(sender, text, 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address), 1);
  };

  RecordingEvents events;
  const auto dialog = Open(kIddScriptDialog, events);
  ASSERT_NE(dialog, nullptr);
  std::string received;
  events.onInit = [&] {
    dialog->WatchSocket(7, static_cast<intptr_t>(watched));
    send("a");
    dialog->SetTimer(1, 300);  // ends the dialog once a late report had its chance to come
  };
  events.onSocket = [&](unsigned id) {
    EXPECT_EQ(id, 7u);
    char byte = 0;
    if (recv(watched, &byte, 1, 0) != 1) return;  // a report may outlive its datagram
    received += byte;
    if (received.size() == 1) {
      send("b");
    } else {
      dialog->UnwatchSocket(7);
      send("c");  // nobody watches any more
    }
  };
  events.onTimer = [&](unsigned) { dialog->End(kIdOk); };
  EXPECT_EQ(dialog->RunModal(), kIdOk);
  EXPECT_EQ(received, "ab");
  closesocket(watched);
  closesocket(sender);
  WSACleanup();
}

TEST_F(Win32BackendTest, TheAddressControlRoundTripsItsFields) {
  RecordingEvents events;
  const auto window = Open(kIddIpAddressDialog, events);
  ASSERT_NE(window, nullptr);
  uint32_t address = 1;
  EXPECT_EQ(window->GetAddress(kIdcIpAddress, address), 0);
  EXPECT_EQ(address, 0u);
  window->SetAddress(kIdcIpAddress, 0xC0A80114);  // 192.168.1.20
  EXPECT_EQ(window->GetAddress(kIdcIpAddress, address), 4);
  EXPECT_EQ(address, 0xC0A80114u);
  window->ClearAddress(kIdcIpAddress);
  EXPECT_EQ(window->GetAddress(kIdcIpAddress, address), 0);
  EXPECT_EQ(address, 0u);
  // Two fields typed: the others read as 0.
  const HWND control = GetDlgItem(window->Handle(), kIdcIpAddress);
  std::vector<HWND> fields;
  for (HWND field = GetWindow(control, GW_CHILD); field != nullptr;
       field = GetWindow(field, GW_HWNDNEXT)) {
    fields.push_back(field);
  }
  ASSERT_EQ(fields.size(), 4u);
  // The fields in screen order, left to right.
  std::sort(fields.begin(), fields.end(), [](HWND a, HWND b) {
    RECT ra, rb;
    GetWindowRect(a, &ra);
    GetWindowRect(b, &rb);
    return ra.left < rb.left;
  });
  SetWindowTextW(fields[0], L"10");
  SetWindowTextW(fields[1], L"71");
  EXPECT_EQ(window->GetAddress(kIdcIpAddress, address), 2);
  EXPECT_EQ(address, 0x0A470000u);
}

// Enter and Escape reach the dialog as keys, with the control the dialog manager resolved them
// to; a click is a command.
TEST_F(Win32BackendTest, KeysArriveAsKeysAndClicksAsCommands) {
  RecordingEvents events;
  const auto window = Open(kIddQorDialog, events);
  ASSERT_NE(window, nullptr);
  const HWND refresh = GetDlgItem(window->Handle(), kIdcRefresh);
  const HWND quit = GetDlgItem(window->Handle(), kIdCancel);
  // The focus moves as the Tab key moves it, which makes a push button the default one.
  const auto focus = [&](HWND control) {
    SendMessageW(window->Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
  };
  events.onInit = [&] {
    focus(refresh);
    PostMessageW(refresh, WM_KEYDOWN, VK_RETURN, 1);
  };
  int step = 0;
  events.onKey = [&](ui::DialogKey, int) {
    switch (step++) {
      case 0:
        focus(quit);
        PostMessageW(quit, WM_KEYDOWN, VK_RETURN, 1);
        break;
      case 1:
        PostMessageW(quit, WM_KEYDOWN, VK_ESCAPE, 1);
        break;
      default:
        SendMessageW(refresh, BM_CLICK, 0, 0);
        break;
    }
  };
  events.onCommand = [&](int) { window->End(kIdOk); };
  EXPECT_EQ(window->RunModal(), kIdOk);
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"init", "enter 3", "enter 2", "escape 2", "command 3"}));

  // In the address field of the Assign dialog, Enter is the default button's.
  RecordingEvents assign;
  const auto dialog = Open(kIddIpAddressDialog, assign);
  ASSERT_NE(dialog, nullptr);
  assign.onInit = [&] {
    HWND field = GetWindow(GetDlgItem(dialog->Handle(), kIdcIpAddress), GW_CHILD);
    SendMessageW(dialog->Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
    PostMessageW(field, WM_KEYDOWN, VK_RETURN, 1);
  };
  assign.onKey = [&](ui::DialogKey, int) { dialog->End(kIdCancel); };
  dialog->RunModal();
  EXPECT_EQ(assign.log, (std::vector<std::string>{"init", "enter 1"}));
}

// The icon of the minimised window and of its dragging, and texts in the ANSI code page.
TEST_F(Win32BackendTest, IconAndTextsAtTheWindowBoundary) {
  RecordingEvents events;
  const auto window = Open(kIddQorDialog, events);
  ASSERT_NE(window, nullptr);
  window->SetIcon(LoadIconResource(kIdrMainFrame), true);
  window->SetIcon(LoadIconResource(kIdrMainFrame), false);
  const auto dragIcon = SendMessageW(window->Handle(), WM_QUERYDRAGICON, 0, 0);
  EXPECT_NE(dragIcon, 0);
  EXPECT_EQ(dragIcon, reinterpret_cast<LRESULT>(window->BigIcon()));
  EXPECT_EQ(SendMessageW(window->Handle(), WM_GETICON, ICON_BIG, 0), dragIcon);
  EXPECT_NE(SendMessageW(window->Handle(), WM_GETICON, ICON_SMALL, 0), 0);
  ICONINFO parts{};
  ASSERT_TRUE(GetIconInfo(window->BigIcon(), &parts));
  BITMAP colour{};
  GetObjectW(parts.hbmColor, sizeof colour, &colour);
  EXPECT_EQ(colour.bmWidth, 32);
  DeleteObject(parts.hbmColor);
  DeleteObject(parts.hbmMask);

  // Minimised, the window paints the program icon in the middle of its client area: the icon's
  // background is erased first, then the icon drawn. (A system with a desktop compositor, wine
  // too, no longer asks a minimised window to paint: the test asks it.)
  static int erased = 0;
  static WNDPROC original = nullptr;
  original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      window->Handle(), GWLP_WNDPROC,
      reinterpret_cast<LONG_PTR>(+[](HWND handle, UINT message, WPARAM w, LPARAM l) -> LRESULT {
        if (message == WM_ICONERASEBKGND) ++erased;
        return CallWindowProcW(original, handle, message, w, l);
      })));
  ShowWindow(window->Handle(), SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window->Handle()));
  SendMessageW(window->Handle(), WM_PAINT, 0, 0);
  EXPECT_GE(erased, 1) << "the minimised window did not paint its icon";
  ShowWindow(window->Handle(), SW_RESTORE);
  SetWindowLongPtrW(window->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));

  window->SetControlText(kIdcRefresh, "Refresh now", TextConversion::kLenient);
  EXPECT_EQ(window->ControlText(kIdcRefresh), "Refresh now");
  if (GetACP() == 1252) {
    window->SetControlText(kIdcRefresh, "caf\xE9", TextConversion::kLenient);
    EXPECT_EQ(TextOf(GetDlgItem(window->Handle(), kIdcRefresh)), L"caf\u00e9");
    EXPECT_EQ(window->ControlText(kIdcRefresh), "caf\xE9");
  }
  EXPECT_EQ(window->ControlText(4242), "");
  EXPECT_FALSE(window->ControlRect(4242).has_value());
}

TEST_F(Win32BackendTest, TheProgressBarTakesItsRangeAndPosition) {
  RecordingEvents events;
  const auto window = Open(kIddScriptDialog, events);
  ASSERT_NE(window, nullptr);
  window->SetProgressRange(kIdcProgress, 0, 5000);
  window->SetProgressPos(kIdcProgress, 1234);
  const HWND bar = GetDlgItem(window->Handle(), kIdcProgress);
  ASSERT_NE(bar, nullptr);
  PBRANGE range{};
  SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 5000);
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 1234);
}

TEST_F(Win32BackendTest, PopupMenusReturnTheChosenCommand) {
  RecordingEvents events;
  const auto window = Open(kIddQorDialog, events);
  ASSERT_NE(window, nullptr);
  ShowWindow(window->Handle(), SW_SHOW);
  const std::vector<ui::MenuItem> items = {{1, "Assign IP Address...", kMfString},
                                           {0, "", kMfSeparator},
                                           {2, "Update firmware", kMfGrayed},
                                           {0, "", kMfSeparator},
                                           {3, "Run Script...", kMfString}};
  std::vector<std::wstring> shown;
  std::vector<bool> grayed;
  SoonInsideModalLoop([&] {
    const HWND popup = FindOwnWindow(L"#32768", nullptr);
    if (popup == nullptr) return false;
    const auto menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      wchar_t text[64] = {};
      GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
      shown.push_back(text);
      grayed.push_back((GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_GRAYED) != 0);
    }
    PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 1);
    PostMessageW(popup, WM_KEYDOWN, VK_RETURN, 1);
    return true;
  });
  EXPECT_EQ(system.TrackPopupMenu(items, {100, 100}, window.get()), 1u);
  EXPECT_EQ(shown, (std::vector<std::wstring>{L"Assign IP Address...", L"", L"Update firmware", L"",
                                              L"Run Script..."}));
  ASSERT_EQ(grayed.size(), 5u);
  EXPECT_FALSE(grayed[0]);
  EXPECT_TRUE(grayed[2]);
  EXPECT_FALSE(grayed[4]);

  SoonInsideModalLoop([&] {
    const HWND popup = FindOwnWindow(L"#32768", nullptr);
    if (popup != nullptr) PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 1);
    return popup != nullptr;
  });
  EXPECT_EQ(system.TrackPopupMenu(items, {100, 100}, window.get()), 0u);
}

TEST_F(Win32BackendTest, MessageBoxesCarryTheCaptionAndText) {
  std::wstring text;
  SoonInsideModalLoop([&] {
    const HWND box = FindOwnWindow(L"#32770", L"QOR");
    if (box == nullptr) return false;
    text = TextOf(GetDlgItem(box, 0xFFFF));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return true;
  });
  EXPECT_EQ(system.ShowMessageBox(nullptr, "Failed sendto: network unreachable", "QOR",
                                  kMbOk | kMbIconExclamation),
            kIdOk);
  EXPECT_EQ(text, L"Failed sendto: network unreachable");
}

// The list's answer to a right click goes back through the dialog: 1 ends the click there, 0
// lets the list go on to ask for a context menu of its own (WM_CONTEXTMENU, which reaches the
// dialog). Other notifications are the list's.
TEST_F(Win32BackendTest, TheRightClickNotificationReturnsTheListsAnswer) {
  RecordingEvents events;
  const auto window = Open(kIddQorDialog, events);
  ASSERT_NE(window, nullptr);
  ShowWindow(window->Handle(), SW_SHOW);
  NoListEvents listEvents;
  const Rect rect = *window->ControlRect(kIdcTargetList);
  auto list = window->CreateList(kIdcTargetList, rect,
                                 style::kChild | style::kVisible | style::kListReport, listEvents);
  ASSERT_NE(list, nullptr);
  list->InsertColumn(0, "Product", kLvcfmtLeft, 200);
  list->InsertItem(0, "Demo Board");
  const HWND handle = dynamic_cast<Win32ListWindow&>(*list).Handle();

  for (const intptr_t result : {0, 1}) {
    listEvents.result = result;
    NMITEMACTIVATE click{};
    click.hdr.hwndFrom = handle;
    click.hdr.idFrom = kIdcTargetList;
    click.hdr.code = static_cast<UINT>(NM_RCLICK);
    click.iItem = 0;
    EXPECT_EQ(
        SendMessageW(window->Handle(), WM_NOTIFY, kIdcTargetList, reinterpret_cast<LPARAM>(&click)),
        result);
  }
  NMHDR other{handle, kIdcTargetList, static_cast<UINT>(NM_CLICK)};
  EXPECT_EQ(
      SendMessageW(window->Handle(), WM_NOTIFY, kIdcTargetList, reinterpret_cast<LPARAM>(&other)),
      0);
  EXPECT_EQ(listEvents.rows, (std::vector<int>{0, 0}));

  // A real click on the row: the list asks for a context menu only when the click was not
  // handled.
  MessageCounter contextMenus(WM_CONTEXTMENU);
  contextMenus.Watch(window->Handle());
  RECT row{};
  row.left = LVIR_BOUNDS;
  SendMessageW(handle, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
  const int y = (row.top + row.bottom) / 2;
  for (const intptr_t result : {1, 0}) {
    listEvents.result = result;
    const size_t before = listEvents.rows.size();
    PostMessageW(handle, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(10, y));
    PostMessageW(handle, WM_RBUTTONUP, 0, MAKELPARAM(10, y));
    PumpUntil([&] { return listEvents.rows.size() > before; });
    PumpUntil([] { return false; }, 200);  // a context-menu request would come meanwhile
    EXPECT_EQ(contextMenus.Count(window->Handle()), result == 1 ? 0 : 1) << result;
  }
}

// The list's context menu is the list's: the owner is told of the menu loop, the dialog not.
TEST_F(Win32BackendTest, APopupMenuIsOwnedByTheWindowItIsGiven) {
  RecordingEvents events;
  const auto window = Open(kIddQorDialog, events);
  ASSERT_NE(window, nullptr);
  ShowWindow(window->Handle(), SW_SHOW);
  NoListEvents listEvents;
  auto list = window->CreateList(kIdcTargetList, *window->ControlRect(kIdcTargetList),
                                 style::kChild | style::kVisible | style::kListReport, listEvents);
  ASSERT_NE(list, nullptr);
  const HWND handle = dynamic_cast<Win32ListWindow&>(*list).Handle();
  MessageCounter menuLoops(WM_ENTERMENULOOP);
  menuLoops.Watch(window->Handle());
  menuLoops.Watch(handle);
  const std::vector<ui::MenuItem> items = {{1, "Assign IP Address...", kMfString}};
  const auto dismissSoon = [] {
    SoonInsideModalLoop([] {
      const HWND popup = FindOwnWindow(L"#32768", nullptr);
      if (popup != nullptr) PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 1);
      return popup != nullptr;
    });
  };
  dismissSoon();
  EXPECT_EQ(system.TrackPopupMenu(items, {100, 100}, list.get()), 0u);
  EXPECT_EQ(menuLoops.Count(handle), 1);
  EXPECT_EQ(menuLoops.Count(window->Handle()), 0);
  dismissSoon();
  EXPECT_EQ(system.TrackPopupMenu(items, {100, 100}, window.get()), 0u);
  EXPECT_EQ(menuLoops.Count(handle), 1);
  EXPECT_EQ(menuLoops.Count(window->Handle()), 1);
}

// A text that does not convert whole: a control text set all or nothing shows nothing, and
// everything else shows what converts: other control texts, list cells, menu entries and
// message boxes.
TEST_F(Win32BackendTest, TextsThatDoNotConvertWholeAreShownInPartUnlessAllOrNothing) {
  const JapaneseThreadCodePage japanese;
  const std::string odd = "Demo\x82";  // a lead byte without its second byte
  ASSERT_EQ(WidenText(odd, TextConversion::kStrict), L"") << "the code page did not change";
  const auto inPart = [](const std::wstring& shown, const std::wstring& start) {
    return shown.size() == start.size() + 1 && shown.compare(0, start.size(), start) == 0;
  };
  const std::wstring lenient = WidenText(odd, TextConversion::kLenient);
  EXPECT_TRUE(inPart(lenient, L"Demo")) << lenient.size();

  RecordingEvents events;
  const auto window = Open(kIddScriptDialog, events);
  ASSERT_NE(window, nullptr);
  ShowWindow(window->Handle(), SW_SHOW);
  const HWND status = GetDlgItem(window->Handle(), kIdcStatus);
  window->SetControlText(kIdcStatus, "Sending 00020000", TextConversion::kStrict);
  window->SetControlText(kIdcStatus, odd, TextConversion::kStrict);
  EXPECT_EQ(TextOf(status), L"");
  window->SetControlText(kIdcStatus, odd, TextConversion::kLenient);
  EXPECT_TRUE(inPart(TextOf(status), L"Demo"));

  RecordingEvents mainEvents;
  const auto main = Open(kIddQorDialog, mainEvents);
  ASSERT_NE(main, nullptr);
  NoListEvents listEvents;
  auto list = main->CreateList(kIdcTargetList, *main->ControlRect(kIdcTargetList),
                               style::kChild | style::kVisible | style::kListReport, listEvents);
  ASSERT_NE(list, nullptr);
  list->InsertColumn(0, "Product", kLvcfmtLeft, 100);
  list->InsertColumn(1, "MAC Address", kLvcfmtLeft, 100);
  list->AppendRows({{odd, odd}});
  list->SetItemText(0, 1, "Sensor" + odd.substr(4));
  const HWND handle = dynamic_cast<Win32ListWindow&>(*list).Handle();
  const auto cell = [handle](int column) {
    wchar_t text[64] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(handle, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
    return std::wstring(text);
  };
  EXPECT_TRUE(inPart(cell(0), L"Demo"));
  EXPECT_TRUE(inPart(cell(1), L"Sensor"));

  std::wstring entry;
  SoonInsideModalLoop([&] {
    const HWND popup = FindOwnWindow(L"#32768", nullptr);
    if (popup == nullptr) return false;
    const auto menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    wchar_t text[64] = {};
    GetMenuStringW(menu, 0, text, 64, MF_BYPOSITION);
    entry = text;
    PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 1);
    return true;
  });
  system.TrackPopupMenu({{2, "Update" + odd.substr(4), kMfString}}, {100, 100}, main.get());
  EXPECT_TRUE(inPart(entry, L"Update")) << entry.size();

  std::wstring message;
  SoonInsideModalLoop([&] {
    const HWND box = FindOwnWindow(L"#32770", L"QOR");
    if (box == nullptr) return false;
    message = TextOf(GetDlgItem(box, 0xFFFF));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return true;
  });
  EXPECT_EQ(system.ShowMessageBox(nullptr, "Failed" + odd.substr(4), "QOR", kMbOk), kIdOk);
  EXPECT_TRUE(inPart(message, L"Failed")) << message.size();
}

// The Assign IP Address dialog on this window system: an address no target can hold is refused
// with an exclamation box and the dialog stays; one another target holds is a Yes/No question
// whose default is No; Yes takes it.
TEST_F(Win32BackendTest, TheAssignDialogRefusesAndAsksWithTheWindowSystemsBoxes) {
  const ui::ScopedWindowSystem installed(system);
  const CWinApp app("QOR");
  CIPAddressDialog dialog(nullptr, 0x7F000014, [](uint32_t address) {
    return address == 0x7F00000B ? std::string("Demo Board 00:1A:2B:3C:4D:02") : std::string();
  });
  struct Seen {
    std::wstring text;
    HICON icon = nullptr;
    bool yes = false;
    bool no = false;
    bool noIsDefault = false;
    bool assignShown = false;
  };
  std::vector<Seen> seen;
  int step = 0;
  const auto assign = [] { return FindOwnWindow(L"#32770", L"Assign IP Address"); };
  const auto box = [] { return FindOwnWindow(L"#32770", L"QOR"); };
  const auto look = [&seen, &assign](HWND shown) {
    Seen s;
    s.text = TextOf(GetDlgItem(shown, 0xFFFF));
    // The box's icon is a static of its own, showing one of the system's shared icons.
    for (HWND child = GetWindow(shown, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        s.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
      }
    }
    s.yes = GetDlgItem(shown, IDYES) != nullptr;
    s.no = GetDlgItem(shown, IDNO) != nullptr;
    const HWND no = GetDlgItem(shown, IDNO);
    s.noIsDefault =
        no != nullptr && (GetWindowLongPtrW(no, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    s.assignShown = assign() != nullptr && IsWindowEnabled(assign()) == FALSE;
    seen.push_back(s);
  };
  SoonInsideModalLoop([&]() -> bool {
    switch (step) {
      case 0: {  // the dialog: a multicast address, then OK
        const HWND shown = assign();
        if (shown == nullptr) return false;
        SendDlgItemMessageW(shown, kIdcIpAddress, IPM_SETADDRESS, 0, MAKEIPADDRESS(224, 0, 0, 1));
        PostMessageW(shown, WM_COMMAND, IDOK, 0);
        ++step;
        return false;
      }
      case 1:
      case 3: {  // a box: OK for the refusal; Enter, which is No, for the question
        const HWND shown = box();
        if (shown == nullptr) return false;
        look(shown);
        if (step == 1) {
          PostMessageW(shown, WM_COMMAND, IDOK, 0);
        } else {
          PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
        }
        ++step;
        return false;
      }
      case 2:
      case 4: {  // the dialog again: an address another target holds, then OK
        const HWND shown = assign();
        if (shown == nullptr || box() != nullptr || !IsWindowEnabled(shown)) return false;
        SendDlgItemMessageW(shown, kIdcIpAddress, IPM_SETADDRESS, 0, MAKEIPADDRESS(127, 0, 0, 11));
        PostMessageW(shown, WM_COMMAND, IDOK, 0);
        ++step;
        return false;
      }
      default: {  // the question again: Yes
        const HWND shown = box();
        if (shown == nullptr) return false;
        look(shown);
        PostMessageW(shown, WM_COMMAND, IDYES, 0);
        return true;
      }
    }
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.Address(), 0x7F00000Bu);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].text,
            L"224.0.0.1 is a multicast address (224.0.0.0/4); no target can hold it.");
  EXPECT_EQ(seen[0].icon, LoadIconA(nullptr, IDI_EXCLAMATION));
  EXPECT_FALSE(seen[0].yes);
  EXPECT_TRUE(seen[0].assignShown) << "the box is the dialog's, which waits behind it";
  const std::wstring question =
      L"127.0.0.11 is already held by Demo Board 00:1A:2B:3C:4D:02.  Assign it all the same?";
  for (size_t i : {1u, 2u}) {
    EXPECT_EQ(seen[i].text, question);
    EXPECT_TRUE(seen[i].yes && seen[i].no);
    EXPECT_EQ(seen[i].icon, LoadIconA(nullptr, IDI_QUESTION));
    EXPECT_TRUE(seen[i].noIsDefault);
  }
}

// The open-file dialog as the application asks for it; the chosen path comes back whole.
TEST_F(Win32BackendTest, TheOpenFileDialogReturnsTheChosenPath) {
  test::TempFiles files;
  const std::string script = files.Write("chosen.QOR", "*restart\n");
  ui::OpenFileRequest request;
  request.title = "Open Script File";
  request.filters = {{"QOR Scripts (.QOR)", "*.QOR"}, {"All Files", "*.*"}};
  request.filterIndex = 1;
  request.initialDirectory = files.Folder();
  request.defaultExtension = "QOR";
  request.flags = kOfnExplorer | kOfnFileMustExist | kOfnHideReadOnly | kOfnShareAware;

  std::wstring filterShown;
  bool typed = false;
  SoonInsideModalLoop([&] {
    const HWND dialog = FindOwnWindow(L"#32770", L"Open Script File");
    if (typed) return dialog == nullptr;  // the dialog has taken the name
    if (dialog == nullptr) return false;
    filterShown = TextOf(GetDlgItem(dialog, 0x470));  // the file types box
    // The whole name, in the name box (cmb13, or edt1 in older dialogs).
    const std::wstring name = WidenText(files.Folder()) + L"\\chosen.QOR";
    SetDlgItemTextW(dialog, 0x47C, name.c_str());
    SetDlgItemTextW(dialog, 0x480, name.c_str());
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    typed = true;
    return false;
  });
  const ui::OpenFileResult chosen = system.ShowOpenFileDialog(request);
  EXPECT_TRUE(chosen.chosen);
  EXPECT_EQ(chosen.path, files.Folder() + "\\chosen.QOR");
  EXPECT_EQ(filterShown, L"QOR Scripts (.QOR)");

  SoonInsideModalLoop([&] {
    const HWND dialog = FindOwnWindow(L"#32770", L"Open Script File");
    if (dialog != nullptr) PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    return dialog != nullptr;
  });
  const ui::OpenFileResult cancelled = system.ShowOpenFileDialog(request);
  EXPECT_FALSE(cancelled.chosen);
  EXPECT_EQ(cancelled.extendedError, 0u);
}

}  // namespace
}  // namespace qor::win32
