// qor-windows-screenshots: plays an operator on qor.exe, started here, and takes the five
// pictures of its windows as BMP files: main-window, context-menu, assign-address,
// execute-script (during a download) and about (opened from the system menu). Needs targets
// answering (scripts/screenshots --windows runs qor-sim beside it).
// Usage: qor-windows-screenshots QOR_EXE OUTPUT_FOLDER
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/WideText.h"
#include "res/ResourceIds.h"
#include "tests/ui/win32/ContextMenuEntry.h"
#include "tests/ui/win32/DesktopDriver.h"

namespace {

using qor::test::DesktopDriver;

int Fail(const char* what) {
  std::fprintf(stderr, "qor-windows-screenshots: %s\n", what);
  return 1;
}

// Lets the windows finish drawing.
void Settle() { Sleep(400); }

// The address a "Sending XXXXXXXX..." status names; 0 for any other text.
unsigned long SendingAddress(const std::wstring& status) {
  const std::wstring prefix = L"Sending ";
  if (status.rfind(prefix, 0) != 0) return 0;
  return std::wcstoul(status.c_str() + prefix.size(), nullptr, 16);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: qor-windows-screenshots QOR_EXE OUTPUT_FOLDER");
  const std::string program = DesktopDriver::SystemPath(argv[1]);
  const std::string folder = program.substr(0, program.find_last_of("\\/"));
  const std::string out = DesktopDriver::SystemPath(argv[2]) + "\\";

  std::wstring line = L"\"" + qor::WidenText(program) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      qor::WidenText(folder).c_str(), &startup, &process)) {
    return Fail("cannot start qor.exe");
  }
  DesktopDriver driver(process.dwProcessId);
  const HWND main = driver.WaitForDialog(L"QOR");
  if (main == nullptr) return Fail("no QOR window");
  const HWND list = FindWindowExW(main, nullptr, WC_LISTVIEWW, nullptr);
  if (!DesktopDriver::WaitUntil([&] { return driver.RowCount(list) == 3; })) {
    return Fail("the targets are not listed");
  }
  Settle();
  DesktopDriver::Capture(DesktopDriver::Frame(main), out + "main-window.bmp");

  int row = 0;
  while (row < 3 && driver.ItemText(list, row, 2) == L"Unassigned") ++row;
  HWND menu = driver.OpenRowMenu(list, row);
  if (menu == nullptr) return Fail("no context menu");
  Settle();
  DesktopDriver::Capture(DesktopDriver::Frame(main, menu), out + "context-menu.bmp");
  driver.ChooseMenuEntry(menu, 0);
  const HWND assign = driver.WaitForDialog(L"Assign IP Address");
  if (assign == nullptr) return Fail("no Assign IP Address window");
  Settle();
  DesktopDriver::Capture(DesktopDriver::Frame(assign), out + "assign-address.bmp");
  DesktopDriver::PressKey(assign, VK_ESCAPE);
  DesktopDriver::WaitUntil([&] { return !driver.IsShown(assign); });

  const int entry =
      qor::test::ContextMenuEntry(folder, {0x1234, 0x0001}, "Update firmware to 1.2.0");
  if (entry < 0) return Fail("the firmware update is not beside qor.exe");
  menu = driver.OpenRowMenu(list, row);
  if (menu == nullptr) return Fail("no context menu");
  driver.ChooseMenuEntry(menu, entry);
  const HWND run = driver.WaitForDialog(L"Execute Script");
  if (run == nullptr) return Fail("no Execute Script window");
  // Part of the way through the download. The status line draws its new text at once, but the
  // bar, set in the same step, only at the window's next paint, which comes after the text has
  // been read from here: wait for it, then as long as the Linux pictures wait for Qt.
  if (!DesktopDriver::WaitUntil(
          [&] { return SendingAddress(DesktopDriver::Text(run, qor::kIdcStatus)) >= 0x20400; },
          60000)) {
    return Fail("the download does not progress");
  }
  const HWND bar = GetDlgItem(run, qor::kIdcProgress);
  if (!DesktopDriver::WaitUntil([&] { return !GetUpdateRect(bar, nullptr, FALSE); }, 1000)) {
    return Fail("the progress bar is not drawn");
  }
  Sleep(60);
  DesktopDriver::Capture(DesktopDriver::Frame(run), out + "execute-script.bmp");
  DesktopDriver::PressKey(run, VK_ESCAPE);
  DesktopDriver::WaitUntil([&] { return !driver.IsShown(run); });

  driver.ChooseLastSystemMenuEntry(main);
  const HWND about = driver.WaitForDialog(L"About QOR");
  if (about == nullptr) return Fail("no About box");
  Settle();
  DesktopDriver::Capture(DesktopDriver::Frame(about), out + "about.bmp");
  DesktopDriver::PressKey(about, VK_ESCAPE);
  DesktopDriver::WaitUntil([&] { return !driver.IsShown(about); });
  DesktopDriver::PressKey(main, VK_ESCAPE);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
