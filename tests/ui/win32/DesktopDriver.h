#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace qor::test {

// Drives the windows of another program on the same desktop from outside, as an operator
// would: finds them, reads them, clicks rows, picks menu entries and presses keys. The program
// itself carries nothing for it. Waits poll the real clock, as the other program runs on it.
class DesktopDriver {
 public:
  explicit DesktopDriver(DWORD processId);
  ~DesktopDriver();
  DesktopDriver(const DesktopDriver&) = delete;
  DesktopDriver& operator=(const DesktopDriver&) = delete;

  // A path of the build machine as a program under wine reaches it: through drive Z:.
  [[nodiscard]] static std::string SystemPath(const std::string& path);

  // Whether condition holds within timeoutMs.
  static bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

  // The process's visible dialog with that caption; nullptr when none appears in time.
  [[nodiscard]] HWND WaitForDialog(const std::wstring& caption, int timeoutMs = 10000) const;
  // The process's open pop-up menu; nullptr when none appears in time.
  [[nodiscard]] HWND WaitForPopupMenu(int timeoutMs = 10000) const;
  [[nodiscard]] bool IsShown(HWND window) const;

  [[nodiscard]] static std::wstring Text(HWND dialog, int controlId);
  [[nodiscard]] int RowCount(HWND list) const;
  [[nodiscard]] std::wstring ItemText(HWND list, int row, int column) const;

  // Right-clicks the middle of the row, with the mouse moved there first.
  void RightClickRow(HWND list, int row) const;
  // The row's context menu, right-clicked open (again when a click is lost); nullptr when none
  // opens.
  [[nodiscard]] HWND OpenRowMenu(HWND list, int row) const;
  // Chooses the entry at index (separators not counted) of the open pop-up menu by the
  // keyboard, as an operator would with the arrow keys and Enter.
  void ChooseMenuEntry(HWND menu, int index) const;
  // Chooses the last entry of the window's system menu, opened with Alt+Space.
  void ChooseLastSystemMenuEntry(HWND window) const;
  // A key press for the control that has the focus in window's thread.
  static void PressKey(HWND window, WORD key);

  // What the screen shows in area (screen coordinates), as a 24-bit BMP file; false when it
  // cannot be written.
  static bool Capture(const RECT& area, const std::string& path);
  // The window's frame on the screen, with the other windows given (a pop-up menu) if any.
  [[nodiscard]] static RECT Frame(HWND window, HWND also = nullptr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::test
