#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ui/UiTypes.h"

namespace qor {

namespace ui {
class ListWindow;
}  // namespace ui
class CDialog;

// A report-style list view: columns, rows of texts, and a number of item data per row.
class CListCtrl {
 public:
  CListCtrl();
  virtual ~CListCtrl();
  CListCtrl(const CListCtrl&) = delete;
  CListCtrl& operator=(const CListCtrl&) = delete;

  // Creates the window as child id of parent over rect (parent's client coordinates).
  bool Create(uint32_t style, const Rect& rect, CDialog& parent, int id);
  void DestroyWindow();
  [[nodiscard]] bool IsCreated() const;
  [[nodiscard]] CDialog* GetParent() const;
  // The window while it exists, else nullptr (for the framework's menus).
  [[nodiscard]] ui::ListWindow* Window() const;

  void SetExtendedStyle(uint32_t exStyle);
  // Each returns -1 (or false) when there is no window or no such row.
  int InsertColumn(int column, const std::string& heading, int format, int width);
  int InsertItem(int row, const std::string& text);
  bool SetItemText(int row, int column, const std::string& text);
  [[nodiscard]] std::string GetItemText(int row, int column) const;
  bool SetItemData(int row, uintptr_t data);
  [[nodiscard]] uintptr_t GetItemData(int row) const;
  [[nodiscard]] int GetItemCount() const;
  // Appends rows after the last in one go, each with its texts (column 0 first) and item data.
  // Returns the index of the first, or -1 when there is no window.
  int AppendRows(const std::vector<std::vector<std::string>>& texts,
                 const std::vector<uintptr_t>& data);
  virtual bool DeleteAllItems();

 protected:
  // The right click reflected to the list: the row under the mouse (-1 when none) and the
  // mouse position on the screen when it happened. Returns the notification's result, which
  // goes back to the window system: nonzero when the click was handled.
  virtual intptr_t OnRightClick(int row, Point screen);

 private:
  class Events;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
