#include "app/CIPAddressDialog.h"

#include "res/ResourceIds.h"
#include "ui/CIPAddressCtrl.h"

namespace qor {

struct CIPAddressDialog::State {
  uint32_t address = 0;
  CIPAddressCtrl control;
};

CIPAddressDialog::CIPAddressDialog(CDialog* parent, uint32_t address)
    : CDialog(kIddIpAddressDialog, parent), state_(std::make_unique<State>()) {
  state_->address = address;
}

CIPAddressDialog::~CIPAddressDialog() = default;

uint32_t CIPAddressDialog::Address() const { return state_->address; }

void CIPAddressDialog::DoDataExchange() {
  CDialog::DoDataExchange();
  DDX_Control(*this, kIdcIpAddress, state_->control);
}

bool CIPAddressDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  if (state_->address != 0) state_->control.SetAddress(state_->address);
  return true;
}

void CIPAddressDialog::OnOK() {
  // Blank fields read as 0; how many were filled is not looked at.
  (void)state_->control.GetAddress(state_->address);
  CDialog::OnOK();
}

}  // namespace qor
