#include "ui/CIPAddressCtrl.h"

#include "ui/Backend.h"
#include "ui/CDialog.h"

namespace qor {

struct CIPAddressCtrl::State {
  CDialog* dialog = nullptr;
  int id = 0;

  [[nodiscard]] ui::DialogWindow* Window() const {
    return dialog != nullptr ? dialog->Window() : nullptr;
  }
};

CIPAddressCtrl::CIPAddressCtrl() : state_(std::make_unique<State>()) {}
CIPAddressCtrl::~CIPAddressCtrl() = default;

void CIPAddressCtrl::Attach(CDialog& dialog, int id) {
  state_->dialog = &dialog;
  state_->id = id;
}

bool CIPAddressCtrl::IsAttached() const { return state_->dialog != nullptr; }

void CIPAddressCtrl::SetAddress(uint32_t address) {
  if (auto* window = state_->Window()) window->SetAddress(state_->id, address);
}

void CIPAddressCtrl::ClearAddress() {
  if (auto* window = state_->Window()) window->ClearAddress(state_->id);
}

int CIPAddressCtrl::GetAddress(uint32_t& address) const {
  address = 0;
  auto* window = state_->Window();
  return window != nullptr ? window->GetAddress(state_->id, address) : 0;
}

bool CIPAddressCtrl::IsBlank() const {
  uint32_t ignored = 0;
  return GetAddress(ignored) == 0;
}

void DDX_Control(CDialog& dialog, int id, CIPAddressCtrl& control) { control.Attach(dialog, id); }

}  // namespace qor
