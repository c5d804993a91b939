#include "app/CIPAddressDialog.h"

#include "net/Target.h"
#include "platform/Format.h"
#include "res/ResourceIds.h"
#include "ui/CIPAddressCtrl.h"
#include "ui/MessageBox.h"

namespace qor {

struct CIPAddressDialog::State {
  uint32_t address = 0;
  HolderOf holderOf;
  CIPAddressCtrl control;
};

CIPAddressDialog::CIPAddressDialog(CDialog* parent, uint32_t address, HolderOf holderOf)
    : CDialog(kIddIpAddressDialog, parent), state_(std::make_unique<State>()) {
  state_->address = address;
  state_->holderOf = std::move(holderOf);
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
  uint32_t address = 0;
  (void)state_->control.GetAddress(address);
  // The member keeps the address it had until one is taken, so that Cancel leaves it as it was.
  if (const std::string problem = AddressProblem(address); !problem.empty()) {
    AfxMessageBox(Format("%s; no target can hold it.", problem.c_str()),
                  kMbOk | kMbIconExclamation);
    return;
  }
  // Two targets at one address would both answer, or neither.
  const std::string holder = state_->holderOf ? state_->holderOf(address) : std::string();
  if (!holder.empty()) {
    const std::string question = Format("%s is already held by %s.  Assign it all the same?",
                                        IpAddressText(address).c_str(), holder.c_str());
    if (AfxMessageBox(question, kMbYesNo | kMbIconQuestion | kMbDefButton2) != kIdYes) return;
  }
  state_->address = address;
  CDialog::OnOK();
}

}  // namespace qor
