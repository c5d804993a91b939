#include "tests/ui/win32/DesktopDriver.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace qor::test {
namespace {

struct Search {
  DWORD processId;
  const std::wstring* caption;
  const wchar_t* className;
  HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search.processId || !IsWindowVisible(window)) return TRUE;
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (std::wstring(className) != search.className) return TRUE;
  if (search.caption != nullptr) {
    wchar_t caption[256] = {};
    GetWindowTextW(window, caption, 256);
    if (*search.caption != caption) return TRUE;
  }
  search.found = window;
  return FALSE;
}

HWND FindTopLevel(DWORD processId, const std::wstring* caption, const wchar_t* className) {
  Search search{processId, caption, className, nullptr};
  EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void Key(HWND target, WORD key) {
  PostMessageW(target, WM_KEYDOWN, key, 1);
  PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

// Returns once window's thread has taken what was posted to it before: each message sent is
// handled when the thread next looks at its queue, after the message it was handling.
void Drain(HWND window) {
  for (int i = 0; i < 2; ++i) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &ignored);
  }
}

}  // namespace

// Memory inside the other process, for the messages whose pointers the window system does not
// carry across processes (the list view's).
struct DesktopDriver::State {
  DWORD processId = 0;
  HANDLE process = nullptr;
  void* remote = nullptr;
  static constexpr size_t kRemoteSize = 8192;

  bool Write(size_t offset, const void* data, size_t size) const {
    return WriteProcessMemory(process, static_cast<char*>(remote) + offset, data, size, nullptr);
  }
  bool Read(size_t offset, void* data, size_t size) const {
    return ReadProcessMemory(process, static_cast<char*>(remote) + offset, data, size, nullptr);
  }
  [[nodiscard]] LPARAM At(size_t offset) const {
    return reinterpret_cast<LPARAM>(static_cast<char*>(remote) + offset);
  }
};

DesktopDriver::DesktopDriver(DWORD processId) : state_(std::make_unique<State>()) {
  state_->processId = processId;
  state_->process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
  if (state_->process != nullptr) {
    state_->remote =
        VirtualAllocEx(state_->process, nullptr, State::kRemoteSize, MEM_COMMIT, PAGE_READWRITE);
  }
}

DesktopDriver::~DesktopDriver() {
  if (state_->remote != nullptr) VirtualFreeEx(state_->process, state_->remote, 0, MEM_RELEASE);
  if (state_->process != nullptr) CloseHandle(state_->process);
}

std::string DesktopDriver::SystemPath(const std::string& path) {
  return !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

bool DesktopDriver::WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

HWND DesktopDriver::WaitForDialog(const std::wstring& caption, int timeoutMs) const {
  HWND found = nullptr;
  WaitUntil(
      [&] { return (found = FindTopLevel(state_->processId, &caption, L"#32770")) != nullptr; },
      timeoutMs);
  return found;
}

HWND DesktopDriver::WaitForPopupMenu(int timeoutMs) const {
  HWND found = nullptr;
  WaitUntil(
      [&] { return (found = FindTopLevel(state_->processId, nullptr, L"#32768")) != nullptr; },
      timeoutMs);
  return found;
}

bool DesktopDriver::IsShown(HWND window) const {
  return IsWindow(window) && IsWindowVisible(window);
}

std::wstring DesktopDriver::Text(HWND dialog, int controlId) {
  HWND control = GetDlgItem(dialog, controlId);
  if (control == nullptr) return {};
  // WM_GETTEXT is carried across processes by the window system itself.
  std::wstring text(1024, L'\0');
  const auto length =
      SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}

int DesktopDriver::RowCount(HWND list) const {
  return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring DesktopDriver::ItemText(HWND list, int row, int column) const {
  const State& s = *state_;
  if (s.remote == nullptr) return {};
  constexpr size_t kTextAt = 512;
  constexpr int kCapacity = 1024;
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = reinterpret_cast<wchar_t*>(s.At(kTextAt));
  item.cchTextMax = kCapacity;
  if (!s.Write(0, &item, sizeof item)) return {};
  const auto length = SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), s.At(0));
  std::wstring text(static_cast<size_t>(length), L'\0');
  if (length > 0 && !s.Read(kTextAt, text.data(), text.size() * sizeof(wchar_t))) return {};
  return text;
}

void DesktopDriver::RightClickRow(HWND list, int row) const {
  const State& s = *state_;
  RECT bounds{};
  bounds.left = LVIR_BOUNDS;
  if (s.remote == nullptr || !s.Write(0, &bounds, sizeof bounds) ||
      SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row), s.At(0)) == 0 ||
      !s.Read(0, &bounds, sizeof bounds)) {
    return;
  }
  POINT point{bounds.left + (bounds.right - bounds.left) / 4, (bounds.top + bounds.bottom) / 2};
  const LPARAM at = MAKELPARAM(point.x, point.y);
  ClientToScreen(list, &point);
  SetCursorPos(point.x, point.y);
  // The list tells a click from a drag by where the pointer is: a click sent before the
  // pointer arrived reads as a drag, and no menu opens.
  WaitUntil(
      [&] {
        POINT now{};
        return GetCursorPos(&now) && now.x == point.x && now.y == point.y;
      },
      1000);
  Sleep(300);
  Drain(list);
  PostMessageW(list, WM_RBUTTONDOWN, MK_RBUTTON, at);
  PostMessageW(list, WM_RBUTTONUP, 0, at);
}

HWND DesktopDriver::OpenRowMenu(HWND list, int row) const {
  // A busy machine may still take a click for a drag: an operator clicks again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    RightClickRow(list, row);
    if (const HWND menu = WaitForPopupMenu(3000)) return menu;
  }
  return nullptr;
}

void DesktopDriver::ChooseMenuEntry(HWND menu, int index) const {
  // The pointer's own moves reach a menu as it opens, and one that arrives between two arrow
  // keys clears the selection: let the menu settle first, then press each key only once the
  // menu has taken the last.
  Sleep(300);
  Drain(menu);
  for (int i = 0; i <= index; ++i) {
    Key(menu, VK_DOWN);
    Drain(menu);
  }
  Key(menu, VK_RETURN);
}

void DesktopDriver::ChooseLastSystemMenuEntry(HWND window) const {
  // Alt+Space: the system menu opens where the window's icon is.
  PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, VK_SPACE);
  const HWND menu = WaitForPopupMenu();
  if (menu == nullptr) return;
  Key(menu, VK_UP);
  Key(menu, VK_RETURN);
}

void DesktopDriver::PressKey(HWND window, WORD key) {
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  HWND target = window;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread) &&
      thread.hwndFocus != nullptr) {
    target = thread.hwndFocus;
  }
  Key(target, key);
}

RECT DesktopDriver::Frame(HWND window, HWND also) {
  RECT frame{};
  GetWindowRect(window, &frame);
  RECT other{};
  if (also != nullptr && GetWindowRect(also, &other)) UnionRect(&frame, &frame, &other);
  return frame;
}

bool DesktopDriver::Capture(const RECT& frame, const std::string& path) {
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  if (width <= 0 || height <= 0) return false;
  const int stride = (width * 3 + 3) / 4 * 4;
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = height;  // bottom row first, as a BMP file holds them
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 24;
  format.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP picture = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, picture);
  const bool copied =
      BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY) != FALSE;
  GdiFlush();
  bool written = false;
  if (copied) {
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof header + sizeof format.bmiHeader;
    header.bfSize = header.bfOffBits + static_cast<DWORD>(stride * height);
    if (std::FILE* out = std::fopen(path.c_str(), "wb")) {
      written = std::fwrite(&header, sizeof header, 1, out) == 1 &&
                std::fwrite(&format.bmiHeader, sizeof format.bmiHeader, 1, out) == 1 &&
                std::fwrite(bits, static_cast<size_t>(stride * height), 1, out) == 1;
      written = std::fclose(out) == 0 && written;
    }
  }
  SelectObject(memory, previous);
  DeleteObject(picture);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return written;
}

}  // namespace qor::test
