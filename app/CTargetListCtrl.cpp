#include "app/CTargetListCtrl.h"

#include <vector>

#include "app/CIPAddressDialog.h"
#include "app/CQORApp.h"
#include "app/CScriptDialog.h"
#include "catalog/ScriptCatalogue.h"
#include "exec/DirectiveRegistry.h"
#include "platform/Exception.h"
#include "res/ResourceIds.h"
#include "res/Resources.h"
#include "script/Script.h"
#include "ui/CDialog.h"
#include "ui/CMenu.h"
#include "ui/MessageBox.h"

namespace qor {

struct CTargetListCtrl::State {
  ScriptCatalogue& catalogue;
  TargetNetwork& network;
  CDialog* parent = nullptr;
};

CTargetListCtrl::CTargetListCtrl(ScriptCatalogue& catalogue, TargetNetwork& network)
    : state_(new State{catalogue, network}) {}

CTargetListCtrl::~CTargetListCtrl() = default;

bool CTargetListCtrl::Create(const Rect& rect, CDialog& parent) {
  const uint32_t listStyle = style::kChild | style::kVisible | style::kBorder | style::kTabStop |
                             style::kListReport | style::kListShowSelAlways;
  if (!CListCtrl::Create(listStyle, rect, parent, kIdcTargetList)) return false;
  state_->parent = &parent;
  SetExtendedStyle(style::kListExGridLines | style::kListExFullRowSelect);
  const int width = rect.Width();
  InsertColumn(0, "Product", kLvcfmtLeft, width / 3);
  InsertColumn(1, "MAC Address", kLvcfmtLeft, width / 3);
  InsertColumn(2, "IP Address", kLvcfmtLeft, width - 2 * (width / 3) - 4);
  return true;
}

void CTargetListCtrl::UpdateRow(Target& target) {
  const auto data = reinterpret_cast<uintptr_t>(&target);
  const int count = GetItemCount();
  int row = 0;
  while (row < count && GetItemData(row) != data) ++row;
  if (row == count) {
    row = InsertItem(count, std::string());
    if (row < 0) return;
    SetItemData(row, data);
  }
  SetItemText(row, 0, state_->catalogue.ProductName(target.Key()));
  SetItemText(row, 1, target.mac.ToString());
  SetItemText(row, 2, TargetAddressText(target.ipAddress));
}

intptr_t CTargetListCtrl::OnRightClick(int row, Point screen) {
  return ShowContextMenu(row, screen);
}

intptr_t CTargetListCtrl::ShowContextMenu(int row, Point screen) {
  if (row < 0 || row >= GetItemCount() || state_->parent == nullptr) return 0;
  auto* target = reinterpret_cast<Target*>(GetItemData(row));
  if (target == nullptr) return 0;
  const MacAddress mac = target->mac;
  const ProductKey key = target->Key();
  const unsigned needsAddress = target->ipAddress == 0 ? kMfGrayed : 0;

  CMenu menu;
  menu.CreatePopupMenu();
  menu.AppendItem(kMfString, kCmdAssignAddress, "Assign IP Address...");
  const std::vector<const Script*> scripts = state_->catalogue.ScriptsForProduct(key);
  unsigned command = kCmdAssignAddress + 1;
  if (!scripts.empty()) {
    menu.AppendSeparator();
    for (const Script* script : scripts) {
      menu.AppendItem(kMfString | needsAddress, command++, script->ScriptDescription(key));
    }
    menu.AppendSeparator();
  }
  const unsigned runScriptCommand = command;
  menu.AppendItem(kMfString | needsAddress, runScriptCommand, "Run Script...");

  unsigned choice = menu.TrackPopupMenu(kTpmLeftAlign | kTpmReturnCmd, screen, *state_->parent);
  // The table may have been rediscovered while the menu was open; then the row's target is gone.
  if (state_->network.Table().Find(mac) != target) choice = 0;

  try {
    if (choice == kCmdAssignAddress) {
      CIPAddressDialog dialog(state_->parent, target->ipAddress);
      if (dialog.DoModal() == kIdOk) {
        state_->network.SendAssignAddressRequest(target->mac, dialog.Address());
        // Ask everyone to announce themselves again, so the row shows the new address as soon
        // as the target has taken it, instead of when someone next presses Refresh.
        state_->network.Rediscover();
      }
    } else if (choice == runScriptCommand) {
      auto* app = dynamic_cast<CQORApp*>(AfxGetApp());
      std::string path;
      if (app != nullptr && app->ChooseScriptFile(path)) {
        const Script script(path, DirectiveRegistry());
        RunScript(*target, script);
      }
    } else if (choice > kCmdAssignAddress && choice < runScriptCommand) {
      RunScript(*target, *scripts[choice - kCmdAssignAddress - 1]);
    }
  } catch (const Exception& e) {
    AfxMessageBox(e.Message(), kMbOk | kMbIconError);
  }
  menu.DestroyMenu();
  return 1;
}

void CTargetListCtrl::RunScript(Target& target, const Script& script) {
  CScriptDialog dialog(target, script, state_->network, state_->parent);
  dialog.DoModal();
}

}  // namespace qor
