#include "ui/CListCtrl.h"

#include <vector>

#include "ui/Backend.h"
#include "ui/CDialog.h"

namespace qor {

class CListCtrl::Events final : public ui::ListEvents {
 public:
  explicit Events(CListCtrl& list) : list_(list) {}
  intptr_t RightClickEvent(int row, Point screen) override;

 private:
  CListCtrl& list_;
};

struct CListCtrl::State {
  CDialog* parent = nullptr;
  std::unique_ptr<ui::ListWindow> window;
  // Item data by row; the list is never sorted, so rows keep their index.
  std::vector<uintptr_t> data;
  std::unique_ptr<Events> events;
};

// What escapes the handler ends the dialog; the click then counts as not handled.
intptr_t CListCtrl::Events::RightClickEvent(int row, Point screen) {
  CDialog* parent = list_.state_->parent;
  if (parent == nullptr) return 0;
  intptr_t result = 0;
  parent->Guard([this, row, screen, &result] { result = list_.OnRightClick(row, screen); });
  return result;
}

CListCtrl::CListCtrl() : state_(std::make_unique<State>()) {
  state_->events = std::make_unique<Events>(*this);
}

CListCtrl::~CListCtrl() = default;

bool CListCtrl::Create(uint32_t style, const Rect& rect, CDialog& parent, int id) {
  if (state_->window || parent.Window() == nullptr) return false;
  state_->window = parent.Window()->CreateList(id, rect, style, *state_->events);
  if (!state_->window) return false;
  state_->parent = &parent;
  state_->data.clear();
  return true;
}

void CListCtrl::DestroyWindow() {
  state_->window.reset();
  state_->data.clear();
}

bool CListCtrl::IsCreated() const { return state_->window != nullptr; }
CDialog* CListCtrl::GetParent() const { return state_->parent; }
ui::ListWindow* CListCtrl::Window() const { return state_->window.get(); }

void CListCtrl::SetExtendedStyle(uint32_t exStyle) {
  if (state_->window) state_->window->SetExtendedStyle(exStyle);
}

int CListCtrl::InsertColumn(int column, const std::string& heading, int format, int width) {
  if (!state_->window || column < 0) return -1;
  state_->window->InsertColumn(column, heading, format, width);
  return column;
}

int CListCtrl::InsertItem(int row, const std::string& text) {
  if (!state_->window || row < 0) return -1;
  const int count = GetItemCount();
  if (row > count) row = count;
  state_->window->InsertItem(row, text);
  state_->data.insert(state_->data.begin() + row, 0);
  return row;
}

bool CListCtrl::SetItemText(int row, int column, const std::string& text) {
  if (!state_->window || row < 0 || row >= GetItemCount()) return false;
  state_->window->SetItemText(row, column, text);
  return true;
}

std::string CListCtrl::GetItemText(int row, int column) const {
  if (!state_->window || row < 0 || row >= GetItemCount()) return {};
  return state_->window->ItemText(row, column);
}

bool CListCtrl::SetItemData(int row, uintptr_t data) {
  if (row < 0 || row >= GetItemCount()) return false;
  state_->data[static_cast<size_t>(row)] = data;
  return true;
}

uintptr_t CListCtrl::GetItemData(int row) const {
  if (row < 0 || row >= GetItemCount()) return 0;
  return state_->data[static_cast<size_t>(row)];
}

int CListCtrl::GetItemCount() const { return state_->window ? state_->window->ItemCount() : 0; }

int CListCtrl::AppendRows(const std::vector<std::vector<std::string>>& texts,
                          const std::vector<uintptr_t>& data) {
  if (!state_->window) return -1;
  const int first = GetItemCount();
  state_->window->AppendRows(texts);
  state_->data.resize(static_cast<size_t>(first), 0);
  for (size_t i = 0; i < texts.size(); ++i) state_->data.push_back(i < data.size() ? data[i] : 0);
  return first;
}

bool CListCtrl::DeleteAllItems() {
  if (!state_->window) return false;
  state_->window->DeleteAllItems();
  state_->data.clear();
  return true;
}

intptr_t CListCtrl::OnRightClick(int, Point) { return 0; }

}  // namespace qor
