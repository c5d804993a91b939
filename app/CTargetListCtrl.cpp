#include "app/CTargetListCtrl.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "app/CIPAddressDialog.h"
#include "app/CQORApp.h"
#include "app/CScriptDialog.h"
#include "catalog/ScriptCatalogue.h"
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
  // The row of each target listed, or -1 while it waits for one.
  std::unordered_map<const Target*, int> rows;
  std::vector<Target*> waiting;  // in order of arrival

  [[nodiscard]] std::vector<std::string> Texts(const Target& target) const {
    return {catalogue.ProductName(target.Key()), target.mac.ToString(),
            TargetAddressText(target.ipAddress)};
  }

  // The target other than mac that holds address, as its row names it ("Demo Board
  // 00:1A:2B:3C:4D:5E"); empty when none does.
  [[nodiscard]] std::string HolderOf(const MacAddress& mac, uint32_t address) const {
    for (const Target* other : network.Table().InArrivalOrder()) {
      if (other->mac == mac || other->ipAddress != address) continue;
      return catalogue.ProductName(other->Key()) + " " + other->mac.ToString();
    }
    return {};
  }
};

CTargetListCtrl::CTargetListCtrl(ScriptCatalogue& catalogue, TargetNetwork& network)
    : state_(new State{catalogue, network, nullptr, {}, {}}) {}

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
  const auto [found, added] = state_->rows.emplace(&target, -1);
  if (added) {
    state_->waiting.push_back(&target);
    return;
  }
  const int row = found->second;
  if (row < 0) return;  // its row, still to come, is written from the target as it is then
  const std::vector<std::string> texts = state_->Texts(target);
  for (size_t column = 0; column < texts.size(); ++column) {
    SetItemText(row, static_cast<int>(column), texts[column]);
  }
}

void CTargetListCtrl::AddWaitingRows() {
  State& s = *state_;
  const size_t count = std::min(s.waiting.size(), kRowsPerBatch);
  if (count == 0) return;
  std::vector<std::vector<std::string>> texts;
  std::vector<uintptr_t> data;
  texts.reserve(count);
  data.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    texts.push_back(s.Texts(*s.waiting[i]));
    data.push_back(reinterpret_cast<uintptr_t>(s.waiting[i]));
  }
  const int first = AppendRows(texts, data);
  if (first < 0) return;
  for (size_t i = 0; i < count; ++i) s.rows[s.waiting[i]] = first + static_cast<int>(i);
  s.waiting.erase(s.waiting.begin(), s.waiting.begin() + static_cast<std::ptrdiff_t>(count));
}

bool CTargetListCtrl::DeleteAllItems() {
  state_->rows.clear();
  state_->waiting.clear();
  return CListCtrl::DeleteAllItems();
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

  unsigned choice = menu.TrackPopupMenu(kTpmLeftAlign | kTpmReturnCmd, screen, *this);
  // The table may have been rediscovered while the menu was open; then the row's target is gone.
  if (state_->network.Table().Find(mac) != target) choice = 0;

  try {
    if (choice == kCmdAssignAddress) {
      CIPAddressDialog dialog(state_->parent, target->ipAddress, [this, mac](uint32_t address) {
        return state_->HolderOf(mac, address);
      });
      if (dialog.DoModal() == kIdOk) {
        state_->network.SendAssignAddressRequest(mac, dialog.Address());
        // Ask everyone to announce themselves again, so the row shows the new address as soon
        // as the target has taken it, instead of when someone next presses Refresh.
        state_->network.Rediscover();
      }
    } else if (choice == runScriptCommand) {
      auto* app = dynamic_cast<CQORApp*>(AfxGetApp());
      std::string path;
      if (app != nullptr && app->ChooseScriptFile(path)) {
        // Read as the catalogue reads its own: with trusted keys, only when signed by one.
        const std::unique_ptr<Script> script = state_->catalogue.ReadScriptFile(path);
        RunScript(*target, *script);
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
