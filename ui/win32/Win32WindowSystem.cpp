#include "ui/win32/Win32WindowSystem.h"

#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <string>

#include "platform/WideText.h"
#include "ui/win32/Win32DialogWindow.h"
#include "ui/win32/Win32ListWindow.h"

namespace qor::win32 {
namespace {

HWND OwnerWindow(ui::Window* owner) {
  if (auto* dialog = dynamic_cast<Win32DialogWindow*>(owner)) return dialog->Handle();
  if (auto* list = dynamic_cast<Win32ListWindow*>(owner)) return list->Handle();
  return nullptr;
}

// A message, a caption, a menu entry: better shown in part than not at all.
std::wstring Shown(const std::string& text) { return WidenText(text, TextConversion::kLenient); }

bool Register(DWORD classes) {
  INITCOMMONCONTROLSEX request{sizeof request, classes};
  return InitCommonControlsEx(&request) != FALSE;
}

// The longest path Windows has: a chosen file's name never fails to fit.
constexpr size_t kFileNameCapacity = 32768;

}  // namespace

bool Win32WindowSystem::InitCommonControls(uint32_t classes) { return Register(classes); }

std::unique_ptr<ui::DialogWindow> Win32WindowSystem::CreateDialogWindow(
    const DialogTemplate& dialog, ui::DialogWindow* owner, ui::DialogEvents& events) {
  // A template's common controls are registered before it is created, as the platform's dialog
  // framework does: the address control is not among the Windows 95 classes.
  const bool hasAddress =
      std::any_of(dialog.controls.begin(), dialog.controls.end(),
                  [](const ControlTemplate& c) { return c.kind == ControlKind::kIpAddress; });
  if (hasAddress) Register(ICC_INTERNET_CLASSES);
  return Win32DialogWindow::Create(dialog, dynamic_cast<Win32DialogWindow*>(owner), events);
}

unsigned Win32WindowSystem::TrackPopupMenu(const std::vector<ui::MenuItem>& items, Point screen,
                                           ui::Window* owner) {
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return 0;
  for (const ui::MenuItem& item : items) {
    if (item.Separator()) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    } else {
      AppendMenuW(menu, item.flags, item.id, Shown(item.text).c_str());
    }
  }
  const BOOL chosen = ::TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_RETURNCMD, screen.x, screen.y, 0,
                                       OwnerWindow(owner), nullptr);
  DestroyMenu(menu);
  return static_cast<unsigned>(chosen);
}

int Win32WindowSystem::ShowMessageBox(ui::DialogWindow* owner, const std::string& text,
                                      const std::string& caption, unsigned type) {
  // The answers have the values of IDOK, IDYES and IDNO.
  return MessageBoxW(OwnerWindow(owner), Shown(text).c_str(), Shown(caption).c_str(), type);
}

ui::OpenFileResult Win32WindowSystem::ShowOpenFileDialog(const ui::OpenFileRequest& request) {
  // "Description\0pattern\0" for each filter, and one more zero at the end.
  std::wstring filters;
  for (const ui::FileFilter& filter : request.filters) {
    filters += Shown(filter.description) + L'\0' + WidenText(filter.pattern) + L'\0';
  }
  filters += L'\0';
  const std::wstring title = Shown(request.title);
  const std::wstring folder = WidenText(request.initialDirectory);
  const std::wstring extension = WidenText(request.defaultExtension);
  std::wstring file(kFileNameCapacity, L'\0');

  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = OwnerWindow(request.owner);
  dialog.lpstrFilter = filters.c_str();
  dialog.nFilterIndex = static_cast<DWORD>(request.filterIndex);
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  dialog.lpstrTitle = title.c_str();
  dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
  dialog.Flags = request.flags;

  ui::OpenFileResult result;
  if (!GetOpenFileNameW(&dialog)) {
    result.extendedError = CommDlgExtendedError();
    return result;
  }
  file.resize(file.find(L'\0'));
  result.chosen = true;
  result.path = NarrowText(file);
  return result;
}

}  // namespace qor::win32
