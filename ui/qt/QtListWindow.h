#pragma once

#include <QPointer>
#include <memory>

#include "ui/Backend.h"

class QTableWidget;
class QWidget;

namespace qor::qt {

// A report-style list: grid lines and full-row selection as its extended style asks; one row
// selected at a time only when its style asks for it.
class QtListWindow final : public ui::ListWindow {
 public:
  QtListWindow(QWidget* parent, int id, const Rect& rect, uint32_t style, ui::ListEvents& events);
  ~QtListWindow() override;

  [[nodiscard]] QTableWidget* Widget() const;

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

}  // namespace qor::qt
