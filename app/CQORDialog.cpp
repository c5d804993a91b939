#include "app/CQORDialog.h"

#include "app/CAboutDialog.h"
#include "app/CTargetListCtrl.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "res/ResourceIds.h"
#include "res/Resources.h"
#include "ui/CMenu.h"

namespace qor {

struct CQORDialog::State {
  TargetNetwork& network;
  ScriptCatalogue& catalogue;
  const IconImage& icon;
  std::unique_ptr<CTargetListCtrl> list;
};

CQORDialog::CQORDialog(TargetNetwork& network, ScriptCatalogue& catalogue, CDialog* parent)
    : CDialog(kIddQorDialog, parent),
      state_(new State{network, catalogue, LoadIconResource(kIdrMainFrame), nullptr}) {}

CQORDialog::~CQORDialog() = default;

CTargetListCtrl* CQORDialog::TargetList() const { return state_->list.get(); }

bool CQORDialog::OnInitDialog() {
  CDialog::OnInitDialog();

  if (CMenu* systemMenu = GetSystemMenu()) {
    const std::string about = LoadStringResource(kIdsAboutBox);
    if (!about.empty()) {
      systemMenu->AppendSeparator();
      systemMenu->AppendItem(kMfString, kIdmAboutBox, about);
    }
  }

  SetIcon(state_->icon, true);
  SetIcon(state_->icon, false);

  const std::optional<Rect> placeholder = GetDlgItemRect(kIdcTargetList);
  if (!placeholder) throw Exception("Could not find list rectangle on main dialog");

  state_->list = std::make_unique<CTargetListCtrl>(state_->catalogue, state_->network);
  if (!state_->list->Create(*placeholder, *this)) {
    state_->list.reset();
    throw Exception("Failed to create target list");
  }

  state_->network.Discover();
  SetTimer(kPollTimer, kPollPeriodMs);
  return true;
}

// Enter must not close the program.
void CQORDialog::OnOK() {}

bool CQORDialog::OnCommand(int id) {
  if (id != kIdcRefresh) return false;
  // Rows go first, so no row ever refers to a target the discovery discards.
  if (state_->list) state_->list->DeleteAllItems();
  state_->network.Discover();
  return true;
}

void CQORDialog::OnSysCommand(unsigned command) {
  if ((command & kScCommandMask) == kIdmAboutBox) {
    CAboutDialog about;
    about.DoModal();
  } else {
    CDialog::OnSysCommand(command);
  }
}

// Stopped while polling, so polls never overlap and the period counts from the end of one.
void CQORDialog::OnTimer(unsigned) {
  KillTimer(kPollTimer);
  state_->network.Poll(state_->list.get());
  if (state_->list) state_->list->AddWaitingRows();
  SetTimer(kPollTimer, kPollPeriodMs);
}

void CQORDialog::OnDestroy() {
  state_->list.reset();
  CDialog::OnDestroy();
}

}  // namespace qor
