#pragma once

#include <memory>

#include "ui/Backend.h"

namespace qor::qt {

// The Qt Widgets window system. It creates the QApplication, so construct it first in main().
class QtWindowSystem final : public ui::WindowSystem {
 public:
  QtWindowSystem(int& argc, char** argv);
  ~QtWindowSystem() override;
  QtWindowSystem(const QtWindowSystem&) = delete;
  QtWindowSystem& operator=(const QtWindowSystem&) = delete;

  bool InitCommonControls(uint32_t classes) override;
  std::unique_ptr<ui::DialogWindow> CreateDialogWindow(const DialogTemplate& dialog,
                                                       ui::DialogWindow* owner,
                                                       ui::DialogEvents& events) override;
  unsigned TrackPopupMenu(const std::vector<ui::MenuItem>& items, Point screen,
                          ui::Window* owner) override;
  int ShowMessageBox(ui::DialogWindow* owner, const std::string& text, const std::string& caption,
                     unsigned type) override;
  ui::OpenFileResult ShowOpenFileDialog(const ui::OpenFileRequest& request) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::qt
