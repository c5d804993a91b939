#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/Backend.h"

namespace qor::headless {

class HeadlessDialog;

// A list view without a window.
class HeadlessList final : public ui::ListWindow {
 public:
  struct Column {
    std::string heading;
    int format = 0;
    int width = 0;
  };

  HeadlessList(HeadlessDialog& dialog, int id, const Rect& rect, uint32_t style,
               ui::ListEvents& events);
  ~HeadlessList() override;

  [[nodiscard]] int Id() const;
  [[nodiscard]] const Rect& Bounds() const;
  [[nodiscard]] uint32_t Style() const;
  [[nodiscard]] uint32_t ExtendedStyle() const;
  [[nodiscard]] const std::vector<Column>& Columns() const;
  [[nodiscard]] std::vector<std::string> Row(int row) const;

  // The operator right-clicks a row (selecting it first unless it is selected already, as a list
  // view does), or the empty space below the last row. Returns the notification's result.
  intptr_t RightClickRow(int row);
  intptr_t RightClickBelowRows();
  // A left click selects only row; with Ctrl held it adds the row to the selection, or takes it
  // out, unless the style allows one row only.
  void ClickRow(int row, bool control = false);
  [[nodiscard]] std::vector<int> SelectedRows() const;
  // The screen position a right click on row is reported at.
  [[nodiscard]] Point RowPoint(int row) const;

  // The window system.
  void SetExtendedStyle(uint32_t exStyle) override;
  void InsertColumn(int column, const std::string& heading, int format, int width) override;
  void InsertItem(int row, const std::string& text) override;
  void SetItemText(int row, int column, const std::string& text) override;
  [[nodiscard]] std::string ItemText(int row, int column) const override;
  [[nodiscard]] int ItemCount() const override;
  void DeleteAllItems() override;

  // The dialog has gone: the list takes no more input.
  void Orphan();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::headless
