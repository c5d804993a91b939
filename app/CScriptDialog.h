#pragma once

#include <memory>
#include <string>

#include "script/ScriptDisplay.h"
#include "ui/CDialog.h"

namespace qor {

class Script;
class TargetNetwork;
struct Target;

// "Execute Script": runs one script against one target from a 20 ms timer, showing the current
// operation and status. It stays open when the script is done, until Cancel.
class CScriptDialog : public CDialog, public ScriptDisplay {
 public:
  static constexpr unsigned kStepTimer = 1;
  static constexpr unsigned kStepPeriodMs = 20;

  // The caller keeps target, script and network alive until the dialog has returned.
  CScriptDialog(Target& target, const Script& script, TargetNetwork& network,
                CDialog* parent = nullptr);
  ~CScriptDialog() override;

  // Each writes its line only when the text changes, so repeating it costs no redraw.
  void SetOperationText(const std::string& text) override;
  void SetStatusText(const std::string& text) override;

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnTimer(unsigned id) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
