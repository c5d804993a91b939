#pragma once

#include <memory>
#include <string>

#include "script/ScriptDisplay.h"
#include "ui/CDialog.h"

namespace qor {

class Script;
class TargetNetwork;
struct Target;

// "Execute Script": runs one script against one target from a 20 ms timer, and as soon as a reply
// arrives, showing the current operation and status and a bar that follows each download or
// environment write (brought up to date at most every 20 ms). It stays open when the script is
// done, with the bar full and its button reading "Close".
class CScriptDialog : public CDialog, public ScriptDisplay {
 public:
  static constexpr unsigned kStepTimer = 1;
  static constexpr unsigned kStepPeriodMs = 20;
  static constexpr unsigned kSocketWatch = 1;
  // The bar's range: fine enough for a smooth bar whatever the size of the transfer.
  static constexpr int kProgressSteps = 1000;

  // The caller keeps target, script and network alive until the dialog has returned.
  CScriptDialog(Target& target, const Script& script, TargetNetwork& network,
                CDialog* parent = nullptr);
  ~CScriptDialog() override;

  // Each sets what its line or the bar is to show; the window shows it by the end of the step's
  // tick, or within 20 ms when replies step the run, and writes only what changed.
  void SetOperationText(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetProgress(uint32_t done, uint32_t total) override;

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnTimer(unsigned id) override;
  void OnSocketReadable(unsigned id) override;

 private:
  // Polls and steps; false when a directive failed and the dialog was cancelled.
  bool Step();
  void ShowLines();

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
