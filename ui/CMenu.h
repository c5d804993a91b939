#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/UiTypes.h"

namespace qor {

namespace ui {
class DialogWindow;
class Window;
struct MenuItem;
}  // namespace ui
class CDialog;
class CListCtrl;

// A pop-up menu of commands, separators and greyed entries, or a window's system menu.
class CMenu {
 public:
  CMenu();
  // The system menu of a window: entries appended here go to the window.
  explicit CMenu(ui::DialogWindow& systemMenuOf);
  ~CMenu();
  CMenu(const CMenu&) = delete;
  CMenu& operator=(const CMenu&) = delete;

  bool CreatePopupMenu();
  // flags: kMfString, kMfSeparator, kMfGrayed.
  bool AppendItem(unsigned flags, unsigned id, const std::string& text);
  bool AppendSeparator();
  // Shows the menu at a screen position, owned by owner's window, and waits for the choice.
  // Only kTpmReturnCmd tracking is offered: returns the chosen command, 0 when dismissed.
  unsigned TrackPopupMenu(unsigned flags, Point screen, CDialog& owner);
  unsigned TrackPopupMenu(unsigned flags, Point screen, CListCtrl& owner);
  void DestroyMenu();

  [[nodiscard]] const std::vector<ui::MenuItem>& Items() const;

 private:
  unsigned Track(unsigned flags, Point screen, ui::Window* owner);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
