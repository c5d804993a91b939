#include "ui/win32/Win32DialogWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/WideText.h"
#include "ui/win32/Win32DialogTemplate.h"
#include "ui/win32/Win32ListWindow.h"

namespace qor::win32 {

HICON CreateIconFromImage(const IconImage& image) {
  if (image.pixels.empty()) return nullptr;
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = image.width;
  format.bmiHeader.biHeight = -image.height;  // rows top to bottom, as the image holds them
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP colour = CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (colour == nullptr) return nullptr;
  // 0xAARRGGBB in memory is the B, G, R, A a 32-bit DIB holds.
  std::copy(image.pixels.begin(), image.pixels.end(), static_cast<uint32_t*>(bits));
  // The mask, for displays without alpha: set where a pixel is transparent, rows padded to
  // 16 bits.
  const int stride = (image.width + 15) / 16 * 2;
  std::vector<uint8_t> maskBits(static_cast<size_t>(stride * image.height), 0);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if ((image.pixels[static_cast<size_t>(y * image.width + x)] >> 24) == 0) {
        maskBits[static_cast<size_t>(y * stride + x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
      }
    }
  }
  HBITMAP mask = CreateBitmap(image.width, image.height, 1, 1, maskBits.data());
  ICONINFO parts{TRUE, 0, 0, mask, colour};
  HICON icon = mask != nullptr ? CreateIconIndirect(&parts) : nullptr;
  if (mask != nullptr) DeleteObject(mask);
  DeleteObject(colour);
  return icon;
}

namespace {

// What WSAAsyncSelect posts for a watched socket: wParam is the socket.
constexpr UINT kSocketMessage = WM_APP + 1;

// The id of the dialog's control that holds the focus, or that a focused part (a field of the
// address control) belongs to; kIdcStatic when none of the dialog's controls has it.
int FocusedControl(HWND dialog) {
  for (HWND focus = GetFocus(); focus != nullptr && focus != dialog; focus = GetParent(focus)) {
    if (GetParent(focus) == dialog) return static_cast<short>(GetDlgCtrlID(focus));
  }
  return kIdcStatic;
}

}  // namespace

struct Win32DialogWindow::State {
  const DialogTemplate* dialog = nullptr;
  ui::DialogEvents* events = nullptr;
  HWND window = nullptr;
  HWND owner = nullptr;
  bool ended = false;
  int result = kIdCancel;
  std::set<unsigned> timers;
  std::map<unsigned, SOCKET> sockets;  // by the id they are watched under
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  std::vector<HICON> controlIcons;
  std::vector<Win32ListWindow*> lists;
  // The key IsDialogMessage is resolving: the command it issues for it is that key.
  std::optional<ui::DialogKey> pendingKey;
  LPARAM sysCommandPosition = 0;

  // A static of the template that shows an icon the program's resources do not hold gets it
  // from the image data instead, so a dialog looks the same wherever it is created.
  void ShowStaticIcons() {
    HWND child = GetWindow(window, GW_CHILD);
    for (const ControlTemplate& control : dialog->controls) {
      if (child == nullptr) return;
      if (control.kind == ControlKind::kIcon && SendMessageW(child, STM_GETICON, 0, 0) == 0) {
        if (HICON icon = CreateIconFromImage(LoadIconResource(std::stoi(control.text)))) {
          controlIcons.push_back(icon);
          SendMessageW(child, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
        }
      }
      child = GetWindow(child, GW_HWNDNEXT);
    }
  }

  // Over the owner, or in the middle of the screen, always within the work area.
  void Center() const {
    RECT frame;
    GetWindowRect(window, &frame);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(owner != nullptr ? owner : window, MONITOR_DEFAULTTONEAREST),
                    &monitor);
    RECT around = monitor.rcWork;
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
      GetWindowRect(owner, &around);
    }
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const RECT& work = monitor.rcWork;
    const int x =
        std::clamp(static_cast<int>(around.left + (around.right - around.left - width) / 2),
                   static_cast<int>(work.left),
                   std::max(static_cast<int>(work.left), static_cast<int>(work.right - width)));
    const int y =
        std::clamp(static_cast<int>(around.top + (around.bottom - around.top - height) / 2),
                   static_cast<int>(work.top),
                   std::max(static_cast<int>(work.top), static_cast<int>(work.bottom - height)));
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void PaintMinimised() const {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(window, &client);
    const int x = (client.right - client.left - iconWidth + 1) / 2;
    const int y = (client.bottom - client.top - iconHeight + 1) / 2;
    DrawIcon(dc, x, y, bigIcon);
    EndPaint(window, &paint);
  }
};

Win32DialogWindow::Win32DialogWindow() : state_(std::make_unique<State>()) {}

std::unique_ptr<Win32DialogWindow> Win32DialogWindow::Create(const DialogTemplate& dialog,
                                                             Win32DialogWindow* owner,
                                                             ui::DialogEvents& events) {
  std::unique_ptr<Win32DialogWindow> window(new Win32DialogWindow());
  State& s = *window->state_;
  s.dialog = &dialog;
  s.events = &events;
  s.owner = owner != nullptr ? owner->Handle() : nullptr;
  const Win32DialogTemplate bytes(dialog);
  // The framework's own initialisation follows in RunModal, once the window is known to it.
  if (CreateDialogIndirectParamW(GetModuleHandleW(nullptr), bytes.Get(), s.owner, DialogProc,
                                 reinterpret_cast<LPARAM>(window.get())) == nullptr) {
    return nullptr;
  }
  s.ShowStaticIcons();
  return window;
}

Win32DialogWindow::~Win32DialogWindow() {
  State& s = *state_;
  s.ended = true;
  for (Win32ListWindow* list : s.lists) list->ForgetDialog();
  if (s.window != nullptr) {
    for (const unsigned id : s.timers) ::KillTimer(s.window, id);
    SetWindowLongPtrW(s.window, DWLP_USER, 0);
    DestroyWindow(s.window);
  }
  for (HICON icon : s.controlIcons) DestroyIcon(icon);
  if (s.bigIcon != nullptr) DestroyIcon(s.bigIcon);
  if (s.smallIcon != nullptr) DestroyIcon(s.smallIcon);
}

HWND Win32DialogWindow::Handle() const { return state_->window; }
HICON Win32DialogWindow::BigIcon() const { return state_->bigIcon; }

INT_PTR CALLBACK Win32DialogWindow::DialogProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Win32DialogWindow*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->state_->window = window;
    return TRUE;  // the dialog manager gives the first tab stop the focus
  }
  auto* self = reinterpret_cast<Win32DialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  return self != nullptr ? self->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR Win32DialogWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  State& s = *state_;
  switch (message) {
    case WM_COMMAND: {
      // Clicks only (BN_CLICKED is 0, as are the dialog manager's own commands).
      if (HIWORD(wParam) != 0) return FALSE;
      if (s.ended) return TRUE;
      const int id = static_cast<short>(LOWORD(wParam));
      if (s.pendingKey) {
        const ui::DialogKey key = *s.pendingKey;
        s.pendingKey.reset();
        s.events->KeyEvent(key, key == ui::DialogKey::kEnter ? id : FocusedControl(s.window));
      } else {
        s.events->CommandEvent(id);
      }
      return TRUE;
    }
    case WM_SYSCOMMAND:
      if (s.ended) return FALSE;
      s.sysCommandPosition = lParam;
      s.events->SysCommandEvent(static_cast<unsigned>(wParam));
      return TRUE;
    case WM_TIMER:
      if (!s.ended && s.timers.count(static_cast<unsigned>(wParam)) != 0) {
        s.events->TimerEvent(static_cast<unsigned>(wParam));
      }
      return TRUE;
    case kSocketMessage:
      if (s.ended) return TRUE;
      for (const auto& [id, socket] : s.sockets) {
        if (socket == static_cast<SOCKET>(wParam)) {
          s.events->SocketEvent(id);
          break;
        }
      }
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      for (Win32ListWindow* list : s.lists) {
        if (list->Handle() != header->hwndFrom) continue;
        const std::optional<LRESULT> result = s.ended ? std::nullopt : list->Notify(*header);
        if (!result) return FALSE;  // the list's own handling goes on
        // A dialog procedure answers a notification through the window's message result.
        SetWindowLongPtrW(s.window, DWLP_MSGRESULT, *result);
        return TRUE;
      }
      return FALSE;
    }
    case WM_PAINT:
      if (!IsIconic(s.window) || s.bigIcon == nullptr) return FALSE;
      s.PaintMinimised();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(s.bigIcon);
    default:
      return FALSE;
  }
}

int Win32DialogWindow::RunModal() {
  State& s = *state_;
  s.events->InitDialogEvent();
  if (s.ended || s.window == nullptr) return s.result;

  // As the dialog manager's own modal loop does: the owner takes no input meanwhile, but its
  // timers go on.
  const bool ownerEnabled = s.owner != nullptr && IsWindowEnabled(s.owner);
  if (ownerEnabled) EnableWindow(s.owner, FALSE);
  s.Center();
  ShowWindow(s.window, SW_SHOWNORMAL);
  if (!IsChild(s.window, GetFocus())) {
    if (HWND first = GetNextDlgTabItem(s.window, nullptr, FALSE)) SetFocus(first);
  }

  MSG message;
  while (!s.ended) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      // The process is asked to end: leave the request for the loops outside.
      if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
      End(kIdCancel);
      break;
    }
    const bool ours = message.hwnd == s.window || IsChild(s.window, message.hwnd);
    if (ours && message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
      s.pendingKey = ui::DialogKey::kEnter;
    } else if (ours && message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
      s.pendingKey = ui::DialogKey::kEscape;
    }
    if (!IsDialogMessageW(s.window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    s.pendingKey.reset();
  }

  // The owner first, so that it is the window activated when this one goes.
  if (ownerEnabled) EnableWindow(s.owner, TRUE);
  ShowWindow(s.window, SW_HIDE);
  return s.result;
}

void Win32DialogWindow::End(int result) {
  State& s = *state_;
  if (s.ended) return;
  s.ended = true;
  s.result = result;
  if (s.window == nullptr) return;
  for (const unsigned id : s.timers) ::KillTimer(s.window, id);
  s.timers.clear();
  for (const auto& watched : s.sockets) WSAAsyncSelect(watched.second, s.window, 0, 0);
  s.sockets.clear();
  // Wakes the modal loop, which is waiting for a message.
  PostMessageW(s.window, WM_NULL, 0, 0);
}

bool Win32DialogWindow::Ended() const { return state_->ended; }

void Win32DialogWindow::SetTimer(unsigned id, unsigned milliseconds) {
  State& s = *state_;
  if (s.ended || s.window == nullptr) return;
  if (::SetTimer(s.window, id, milliseconds, nullptr) != 0) s.timers.insert(id);
}

void Win32DialogWindow::KillTimer(unsigned id) {
  State& s = *state_;
  if (s.timers.erase(id) != 0 && s.window != nullptr) ::KillTimer(s.window, id);
}

// FD_READ is posted again after each receive while datagrams remain, so the handler may take
// them one at a time or in a batch.
void Win32DialogWindow::WatchSocket(unsigned id, intptr_t handle) {
  State& s = *state_;
  if (s.ended || s.window == nullptr) return;
  const auto socket = static_cast<SOCKET>(handle);
  if (WSAAsyncSelect(socket, s.window, kSocketMessage, FD_READ) == 0) s.sockets[id] = socket;
}

void Win32DialogWindow::UnwatchSocket(unsigned id) {
  State& s = *state_;
  const auto watched = s.sockets.find(id);
  if (watched == s.sockets.end()) return;
  // The socket stays non-blocking, as our sockets are anyway.
  WSAAsyncSelect(watched->second, s.window, 0, 0);
  s.sockets.erase(watched);
}

std::optional<Rect> Win32DialogWindow::ControlRect(int id) const {
  HWND control = GetDlgItem(state_->window, id);
  if (control == nullptr) return std::nullopt;
  RECT frame;
  GetWindowRect(control, &frame);
  MapWindowPoints(nullptr, state_->window, reinterpret_cast<POINT*>(&frame), 2);
  return Rect{frame.left, frame.top, frame.right, frame.bottom};
}

std::string Win32DialogWindow::ControlText(int id) const {
  HWND control = GetDlgItem(state_->window, id);
  if (control == nullptr) return {};
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return NarrowText(text);
}

void Win32DialogWindow::SetControlText(int id, const std::string& text, TextConversion conversion) {
  HWND control = GetDlgItem(state_->window, id);
  if (control == nullptr) return;
  const std::wstring wide = WidenText(text, conversion);
  // The same text again would only redraw the control.
  std::wstring shown(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  shown.resize(
      static_cast<size_t>(GetWindowTextW(control, shown.data(), static_cast<int>(shown.size()))));
  if (shown != wide) SetWindowTextW(control, wide.c_str());
}

void Win32DialogWindow::SetAddress(int id, uint32_t address) {
  SendDlgItemMessageW(state_->window, id, IPM_SETADDRESS, 0, static_cast<LPARAM>(address));
}

void Win32DialogWindow::ClearAddress(int id) {
  SendDlgItemMessageW(state_->window, id, IPM_CLEARADDRESS, 0, 0);
}

int Win32DialogWindow::GetAddress(int id, uint32_t& address) const {
  DWORD value = 0;
  address = 0;
  if (GetDlgItem(state_->window, id) == nullptr) return 0;
  const auto filled =
      SendDlgItemMessageW(state_->window, id, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&value));
  address = value;
  return static_cast<int>(filled);
}

void Win32DialogWindow::SetProgressRange(int id, int low, int high) {
  SendDlgItemMessageW(state_->window, id, PBM_SETRANGE32, static_cast<WPARAM>(low), high);
}

void Win32DialogWindow::SetProgressPos(int id, int position) {
  SendDlgItemMessageW(state_->window, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32DialogWindow::SetIcon(const IconImage& icon, bool big) {
  State& s = *state_;
  HICON created = CreateIconFromImage(icon);
  if (created == nullptr || s.window == nullptr) {
    if (created != nullptr) DestroyIcon(created);
    return;
  }
  HICON& kept = big ? s.bigIcon : s.smallIcon;
  SendMessageW(s.window, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
               reinterpret_cast<LPARAM>(created));
  if (kept != nullptr) DestroyIcon(kept);
  kept = created;
}

void Win32DialogWindow::AppendSystemMenuItem(const ui::MenuItem& item) {
  HMENU menu = GetSystemMenu(state_->window, FALSE);
  if (menu == nullptr) return;
  if (item.Separator()) {
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  } else {
    AppendMenuW(menu, item.flags, item.id, WidenText(item.text, TextConversion::kLenient).c_str());
  }
}

void Win32DialogWindow::DefaultSysCommand(unsigned command) {
  State& s = *state_;
  if (s.window != nullptr) DefWindowProcW(s.window, WM_SYSCOMMAND, command, s.sysCommandPosition);
}

std::unique_ptr<ui::ListWindow> Win32DialogWindow::CreateList(int id, const Rect& rect,
                                                              uint32_t style,
                                                              ui::ListEvents& events) {
  if (state_->window == nullptr) return nullptr;
  auto list = std::make_unique<Win32ListWindow>(*this, id, rect, style, events);
  if (list->Handle() == nullptr) return nullptr;
  return list;
}

void Win32DialogWindow::AddList(Win32ListWindow& list) { state_->lists.push_back(&list); }

void Win32DialogWindow::RemoveList(Win32ListWindow& list) {
  auto& lists = state_->lists;
  lists.erase(std::remove(lists.begin(), lists.end(), &list), lists.end());
}

}  // namespace qor::win32
