#pragma once

#include "ui/Backend.h"

namespace qor::win32 {

// The raw Win32 window system: dialogs from the dialog manager, common controls, pop-up menus,
// message boxes and the open-file dialog. Every text crosses into the window system through the
// thread's ANSI code page: leniently (what does not convert is replaced) except for paths, and
// for the control texts that ask for all or nothing.
class Win32WindowSystem final : public ui::WindowSystem {
 public:
  bool InitCommonControls(uint32_t classes) override;
  std::unique_ptr<ui::DialogWindow> CreateDialogWindow(const DialogTemplate& dialog,
                                                       ui::DialogWindow* owner,
                                                       ui::DialogEvents& events) override;
  unsigned TrackPopupMenu(const std::vector<ui::MenuItem>& items, Point screen,
                          ui::Window* owner) override;
  int ShowMessageBox(ui::DialogWindow* owner, const std::string& text, const std::string& caption,
                     unsigned type) override;
  ui::OpenFileResult ShowOpenFileDialog(const ui::OpenFileRequest& request) override;
};

}  // namespace qor::win32
