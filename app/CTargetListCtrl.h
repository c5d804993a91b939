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

  // Rewrites the three cells of the target's row; a target without one waits for
  // AddWaitingRows to add it, in order of arrival.
  void UpdateRow(Target& target) override;
  // Adds the rows of targets that answered since, up to kRowsPerBatch of them: the main window
  // calls it after each poll, so ten thousand answers fill the list over a few ticks while the
  // window keeps responding.
  void AddWaitingRows();
  // Deletes every row, and forgets the targets still waiting for one.
  bool DeleteAllItems() override;

  static constexpr size_t kRowsPerBatch = 1000;

 protected:
  intptr_t OnRightClick(int row, Point screen) override;

 private:
  intptr_t ShowContextMenu(int row, Point screen);
  void RunScript(Target& target, const Script& script);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
