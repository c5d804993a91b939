#pragma once

#include <memory>

#include "net/TargetNetwork.h"
#include "ui/CListCtrl.h"

namespace qor {

class Script;
class ScriptCatalogue;

// The main window's list of targets, one row per target in order of first arrival. Its context
// menu assigns an address or runs a script against the target of the row.
class CTargetListCtrl : public CListCtrl, public TargetListObserver {
 public:
  static constexpr unsigned kCmdAssignAddress = 1;

  CTargetListCtrl(ScriptCatalogue& catalogue, TargetNetwork& network);
  ~CTargetListCtrl() override;

  // Creates the window as child kIdcTargetList of parent over rect, with its three columns.
  bool Create(const Rect& rect, CDialog& parent);

  // Adds the target's row if it has none, then rewrites its three cells.
  void UpdateRow(Target& target) override;

 protected:
  intptr_t OnRightClick(int row, Point screen) override;

 private:
  intptr_t ShowContextMenu(int row, Point screen);
  void RunScript(Target& target, const Script& script);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
