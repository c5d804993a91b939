#include "ui/headless/HeadlessList.h"

#include <algorithm>
#include <set>

#include "ui/headless/HeadlessDesktop.h"
#include "ui/headless/HeadlessDialog.h"

namespace qor::headless {

struct HeadlessList::State {
  HeadlessDialog* dialog = nullptr;
  int id = 0;
  Rect bounds;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  ui::ListEvents* events = nullptr;
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;
  std::set<int> selected;

  void CheckTakesInput(const char* what) const {
    if (dialog == nullptr) throw HeadlessError("the list's dialog is gone");
    dialog->Desktop().CheckTakesInput(*dialog, what);
  }
};

HeadlessList::HeadlessList(HeadlessDialog& dialog, int id, const Rect& rect, uint32_t style,
                           ui::ListEvents& events)
    : state_(std::make_unique<State>()) {
  state_->dialog = &dialog;
  state_->id = id;
  state_->bounds = rect;
  state_->style = style;
  state_->events = &events;
}

HeadlessList::~HeadlessList() {
  if (state_->dialog != nullptr) state_->dialog->ListGone(state_->id);
}

int HeadlessList::Id() const { return state_->id; }
const Rect& HeadlessList::Bounds() const { return state_->bounds; }
uint32_t HeadlessList::Style() const { return state_->style; }
uint32_t HeadlessList::ExtendedStyle() const { return state_->exStyle; }
const std::vector<HeadlessList::Column>& HeadlessList::Columns() const { return state_->columns; }

std::vector<std::string> HeadlessList::Row(int row) const {
  if (row < 0 || row >= ItemCount()) throw HeadlessError("the list has no such row");
  return state_->rows[static_cast<size_t>(row)];
}

intptr_t HeadlessList::RightClickRow(int row) {
  state_->CheckTakesInput("right-click the list");
  if (row < 0 || row >= ItemCount()) throw HeadlessError("the list has no such row to click");
  if (!state_->selected.contains(row)) state_->selected = {row};
  return state_->events->RightClickEvent(row, RowPoint(row));
}

intptr_t HeadlessList::RightClickBelowRows() {
  state_->CheckTakesInput("right-click the list");
  return state_->events->RightClickEvent(-1, RowPoint(ItemCount()));
}

void HeadlessList::ClickRow(int row, bool control) {
  state_->CheckTakesInput("click the list");
  if (row < 0 || row >= ItemCount()) throw HeadlessError("the list has no such row to click");
  std::set<int>& selected = state_->selected;
  if (!control || (state_->style & style::kListSingleSel) != 0) {
    selected = {row};
  } else if (!selected.erase(row)) {
    selected.insert(row);
  }
}

std::vector<int> HeadlessList::SelectedRows() const {
  return {state_->selected.begin(), state_->selected.end()};
}

Point HeadlessList::RowPoint(int row) const {
  // Header of 20 pixels, rows of 16; the dialog's client area taken to start at the origin.
  return {state_->bounds.left + 20, state_->bounds.top + 20 + row * 16 + 8};
}

void HeadlessList::SetExtendedStyle(uint32_t exStyle) { state_->exStyle = exStyle; }

void HeadlessList::InsertColumn(int column, const std::string& heading, int format, int width) {
  const size_t at = std::min(static_cast<size_t>(column), state_->columns.size());
  state_->columns.insert(state_->columns.begin() + static_cast<std::ptrdiff_t>(at),
                         {heading, format, width});
  for (auto& row : state_->rows) row.insert(row.begin() + static_cast<std::ptrdiff_t>(at), "");
}

void HeadlessList::InsertItem(int row, const std::string& text) {
  std::vector<std::string> cells(std::max<size_t>(state_->columns.size(), 1));
  cells[0] = text;
  state_->rows.insert(state_->rows.begin() + row, std::move(cells));
  // The selection stays with its rows.
  std::set<int> moved;
  for (int selected : state_->selected) moved.insert(selected >= row ? selected + 1 : selected);
  state_->selected = std::move(moved);
}

void HeadlessList::SetItemText(int row, int column, const std::string& text) {
  auto& cells = state_->rows.at(static_cast<size_t>(row));
  if (column < 0 || static_cast<size_t>(column) >= cells.size()) return;
  cells[static_cast<size_t>(column)] = text;
}

std::string HeadlessList::ItemText(int row, int column) const {
  const auto& cells = state_->rows.at(static_cast<size_t>(row));
  if (column < 0 || static_cast<size_t>(column) >= cells.size()) return {};
  return cells[static_cast<size_t>(column)];
}

int HeadlessList::ItemCount() const { return static_cast<int>(state_->rows.size()); }
void HeadlessList::DeleteAllItems() {
  state_->rows.clear();
  state_->selected.clear();
}
void HeadlessList::Orphan() { state_->dialog = nullptr; }

}  // namespace qor::headless
