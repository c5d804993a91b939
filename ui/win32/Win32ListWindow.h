#pragma once

#include <windows.h>

#include <memory>
#include <optional>

#include "ui/Backend.h"

namespace qor::win32 {

class Win32DialogWindow;

// A report-style list view (WC_LISTVIEW) on a dialog. The dialog hands it the notifications it
// receives from it; a right click reaches the list's events with the row under the mouse and the
// mouse position when the click happened.
class Win32ListWindow final : public ui::ListWindow {
 public:
  // Handle() is nullptr when the window cannot be created.
  Win32ListWindow(Win32DialogWindow& dialog, int id, const Rect& rect, uint32_t style,
                  ui::ListEvents& events);
  ~Win32ListWindow() override;

  [[nodiscard]] HWND Handle() const;
  // A notification from the list; the result for the window system when the list's events
  // answered it, nothing when the list's default handling goes on.
  std::optional<LRESULT> Notify(const NMHDR& header);
  // The dialog is going first: nothing to unregister from later.
  void ForgetDialog();

  void SetExtendedStyle(uint32_t exStyle) override;
  void InsertColumn(int column, const std::string& heading, int format, int width) override;
  void InsertItem(int row, const std::string& text) override;
  void SetItemText(int row, int column, const std::string& text) override;
  [[nodiscard]] std::string ItemText(int row, int column) const override;
  [[nodiscard]] int ItemCount() const override;
  void DeleteAllItems() override;
  void AppendRows(const std::vector<std::vector<std::string>>& rows) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::win32
