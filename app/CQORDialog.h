#pragma once

#include <memory>

#include "ui/CDialog.h"

namespace qor {

class CTargetListCtrl;
class ScriptCatalogue;
class TargetNetwork;

// The main window: the list of targets, Refresh and Quit. It discovers the targets, polls the
// network every 20 ms and opens the About box from its system menu.
class CQORDialog : public CDialog {
 public:
  static constexpr unsigned kIdmAboutBox = 0x0010;
  static constexpr unsigned kPollTimer = 1;
  static constexpr unsigned kPollPeriodMs = 20;

  CQORDialog(TargetNetwork& network, ScriptCatalogue& catalogue, CDialog* parent = nullptr);
  ~CQORDialog() override;

  // The list while the window exists, else nullptr.
  [[nodiscard]] CTargetListCtrl* TargetList() const;

 protected:
  bool OnInitDialog() override;
  void OnOK() override;
  bool OnCommand(int id) override;
  void OnSysCommand(unsigned command) override;
  void OnTimer(unsigned id) override;
  void OnDestroy() override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
