#include "ui/CMenu.h"

#include "ui/Backend.h"
#include "ui/CDialog.h"
#include "ui/CListCtrl.h"

namespace qor {

struct CMenu::State {
  ui::DialogWindow* systemMenuOf = nullptr;
  bool created = false;
  std::vector<ui::MenuItem> items;
};

CMenu::CMenu() : state_(std::make_unique<State>()) {}

CMenu::CMenu(ui::DialogWindow& systemMenuOf) : state_(std::make_unique<State>()) {
  state_->systemMenuOf = &systemMenuOf;
  state_->created = true;
}

CMenu::~CMenu() = default;

bool CMenu::CreatePopupMenu() {
  if (state_->created) return false;
  state_->created = true;
  return true;
}

bool CMenu::AppendItem(unsigned flags, unsigned id, const std::string& text) {
  if (!state_->created) return false;
  ui::MenuItem item{id, (flags & kMfSeparator) != 0 ? std::string() : text, flags};
  state_->items.push_back(item);
  if (state_->systemMenuOf != nullptr) state_->systemMenuOf->AppendSystemMenuItem(item);
  return true;
}

bool CMenu::AppendSeparator() { return AppendItem(kMfSeparator, 0, std::string()); }

unsigned CMenu::TrackPopupMenu(unsigned flags, Point screen, CDialog& owner) {
  return Track(flags, screen, owner.Window());
}

unsigned CMenu::TrackPopupMenu(unsigned flags, Point screen, CListCtrl& owner) {
  return Track(flags, screen, owner.Window());
}

unsigned CMenu::Track(unsigned, Point screen, ui::Window* owner) {
  if (!state_->created || state_->items.empty()) return 0;
  return ui::CurrentWindowSystem().TrackPopupMenu(state_->items, screen, owner);
}

void CMenu::DestroyMenu() {
  state_->items.clear();
  state_->created = false;
}

const std::vector<ui::MenuItem>& CMenu::Items() const { return state_->items; }

}  // namespace qor
