// qor.exe as an operator uses it, driven from outside its process on a display of its own, in
// this test's private network namespace with simulated targets: it lists them, opens About
// from its system menu, and a script run from a target's context menu lands its image on the
// target byte for byte.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QorVersion.h"
#include "exec/DirectiveRegistry.h"
#include "exec/DownloadDirective.h"
#include "platform/WideText.h"
#include "res/ResourceIds.h"
#include "script/DataSection.h"
#include "script/Script.h"
#include "tests/ui/win32/ContextMenuEntry.h"
#include "tests/ui/win32/DesktopDriver.h"
#include "tools/qor-sim/SimEngine.h"

namespace qor::test {
namespace {

const ProductKey kDemoBoard{0x1234, 0x0001};

std::string ProgramFolder() {
  const std::string program = DesktopDriver::SystemPath(QOR_EXE);
  return program.substr(0, program.find_last_of("\\/"));
}

// The image firmware-update.QOR downloads, as the script reader assembles it.
const DataSection& FirmwareImage(const Script& script) {
  for (int32_t i = 0; i < script.DirectiveCount(); ++i) {
    if (const auto* download = dynamic_cast<const DownloadDirective*>(&script.DirectiveAt(i))) {
      return download->Section();
    }
  }
  throw std::logic_error("no *download in the script");
}

class QorProgram {
 public:
  QorProgram() {
    std::wstring line = L"\"" + WidenText(DesktopDriver::SystemPath(QOR_EXE)) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              WidenText(ProgramFolder()).c_str(), &startup, &process_) != 0;
  }
  ~QorProgram() {
    if (!started_) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 1);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  QorProgram(const QorProgram&) = delete;
  QorProgram& operator=(const QorProgram&) = delete;

  [[nodiscard]] bool Started() const { return started_; }
  [[nodiscard]] DWORD Id() const { return process_.dwProcessId; }
  // The exit status, once it has ended within timeoutMs; -1 otherwise.
  int ExitCode(int timeoutMs) const {
    if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
      return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<int>(code);
  }

 private:
  bool started_ = false;
  PROCESS_INFORMATION process_{};
};

// A predefined resource type: an integer, the same for the wide functions as for the narrow.
LPCWSTR WideType(LPSTR type) { return reinterpret_cast<LPCWSTR>(type); }

// What Explorer and the loader read from the file: the icon, the strings, the version and the
// manifest.
TEST(QorEndToEnd, TheProgramCarriesItsResources) {
  const HMODULE file = LoadLibraryExW(WidenText(QOR_EXE).c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(file, nullptr);
  EXPECT_NE(FindResourceW(file, MAKEINTRESOURCEW(kIdrMainFrame), WideType(RT_GROUP_ICON)), nullptr);
  EXPECT_NE(FindResourceW(file, MAKEINTRESOURCEW(1), WideType(RT_MANIFEST)), nullptr);
  wchar_t text[64] = {};
  EXPECT_GT(LoadStringW(file, kIdsAboutBox, text, 64), 0);
  EXPECT_EQ(std::wstring(text), L"&About QOR...");

  const HRSRC version = FindResourceW(file, MAKEINTRESOURCEW(1), WideType(RT_VERSION));
  ASSERT_NE(version, nullptr);
  const auto* block = static_cast<const uint8_t*>(LockResource(LoadResource(file, version)));
  const std::vector<uint8_t> copy(block, block + SizeofResource(file, version));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(
      VerQueryValueW(copy.data(), L"\\StringFileInfo\\040904B0\\ProductVersion", &value, &length));
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), WidenText(kQorVersion));
  ASSERT_TRUE(
      VerQueryValueW(copy.data(), L"\\StringFileInfo\\040904B0\\ProductName", &value, &length));
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), L"QOR");
  FreeLibrary(file);
}

TEST(QorEndToEnd, ListsTargetsOpensAboutAndRunsAScriptFromTheContextMenu) {
  sim::SimOptions options;
  options.targets = 3;
  options.unassigned = 1;
  sim::SimEngine engine(options);
  engine.Start();

  QorProgram qor;
  ASSERT_TRUE(qor.Started());
  DesktopDriver driver(qor.Id());
  const HWND main = driver.WaitForDialog(L"QOR");
  ASSERT_NE(main, nullptr) << "no QOR window";
  const HWND list = FindWindowExW(main, nullptr, WC_LISTVIEWW, nullptr);
  ASSERT_NE(list, nullptr);
  ASSERT_TRUE(DesktopDriver::WaitUntil([&] { return driver.RowCount(list) == 3; }));
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(driver.ItemText(list, row, 0), L"QOR Demo Board") << row;
  }
  // Rows in the order the targets answered; which that is depends on the simulator's thread.
  std::vector<std::wstring> macs;
  std::vector<std::wstring> addresses;
  for (int row = 0; row < 3; ++row) {
    macs.push_back(driver.ItemText(list, row, 1));
    addresses.push_back(driver.ItemText(list, row, 2));
  }
  std::sort(macs.begin(), macs.end());
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(macs, (std::vector<std::wstring>{L"02:00:00:00:00:01", L"02:00:00:00:00:02",
                                             L"02:00:00:00:00:03"}));
  EXPECT_EQ(addresses, (std::vector<std::wstring>{L"127.0.0.10", L"127.0.0.11", L"Unassigned"}));

  // About, from the system menu.
  driver.ChooseLastSystemMenuEntry(main);
  const HWND about = driver.WaitForDialog(L"About QOR");
  ASSERT_NE(about, nullptr) << "no About box";
  EXPECT_EQ(DesktopDriver::Text(about, kIdcBuildLine).rfind(L"Version ", 0), 0u);
  DesktopDriver::PressKey(about, VK_ESCAPE);
  EXPECT_TRUE(DesktopDriver::WaitUntil([&] { return !driver.IsShown(about); }));

  // The firmware update, from the context menu of the first target with an address.
  int row = 0;
  while (row < 3 && driver.ItemText(list, row, 2) == L"Unassigned") ++row;
  const MacAddress mac = *MacAddress::Parse(NarrowText(driver.ItemText(list, row, 1)));
  const int entry = ContextMenuEntry(ProgramFolder(), kDemoBoard, "Update firmware to 1.2.0");
  ASSERT_GT(entry, 0) << "the example script is not beside qor.exe";
  const HWND menu = driver.OpenRowMenu(list, row);
  ASSERT_NE(menu, nullptr) << "no context menu";
  driver.ChooseMenuEntry(menu, entry);
  const HWND run = driver.WaitForDialog(L"Execute Script");
  ASSERT_NE(run, nullptr) << "no Execute Script window";
  // The script ends with a restart, which the target counts once its image is written.
  ASSERT_TRUE(DesktopDriver::WaitUntil(
      [&] {
        const auto target = engine.FindTarget(mac);
        return target && target->restarts == 1;
      },
      30000))
      << NarrowText(DesktopDriver::Text(run, kIdcStatus));
  const Script script(ProgramFolder() + "\\firmware-update.QOR", DirectiveRegistry());
  const DataSection& image = FirmwareImage(script);
  EXPECT_EQ(engine.ReadMemory(mac, image.Base(), image.Length()),
            image.ExtractBlock(image.Base(), image.Length()).bytes)
      << "the image on the target differs from the script's";
  // The window's texts follow within a refresh.
  EXPECT_TRUE(DesktopDriver::WaitUntil([&] {
    return NarrowText(DesktopDriver::Text(run, kIdcOperation)) == "Restarting";
  })) << NarrowText(DesktopDriver::Text(run, kIdcOperation));
  // The window stays until Cancel; then Quit ends the program.
  EXPECT_TRUE(driver.IsShown(run));
  DesktopDriver::PressKey(run, VK_ESCAPE);
  EXPECT_TRUE(DesktopDriver::WaitUntil([&] { return !driver.IsShown(run); }));
  // Escape goes to the focused control: the main window's, once it has the focus back.
  EXPECT_TRUE(DesktopDriver::WaitUntil([&] {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    return GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &thread) &&
           (thread.hwndFocus == main || IsChild(main, thread.hwndFocus));
  }));
  DesktopDriver::PressKey(main, VK_ESCAPE);
  EXPECT_EQ(qor.ExitCode(10000), 0);
}

}  // namespace
}  // namespace qor::test
