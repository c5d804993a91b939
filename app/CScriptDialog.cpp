#include "app/CScriptDialog.h"

#include <algorithm>

#include "exec/ScriptRunner.h"
#include "platform/Exception.h"
#include "res/ResourceIds.h"
#include "ui/CProgressCtrl.h"
#include "ui/CStatic.h"
#include "ui/MessageBox.h"

namespace qor {

struct CScriptDialog::State {
  Target& target;
  const Script& script;
  TargetNetwork& network;
  CStatic operation;
  CStatic status;
  CProgressCtrl progress;
  std::unique_ptr<ScriptRunner> runner;
  bool shownFinished = false;

  void ShowProgress(int position) {
    if (progress.GetPos() != position) progress.SetPos(position);
  }
  // Once, when the last directive is done: a full bar, and a button that closes.
  void ShowFinished(CDialog& dialog) {
    if (shownFinished || !runner || !runner->Finished() || runner->Closed()) return;
    shownFinished = true;
    ShowProgress(kProgressSteps);
    dialog.SetDlgItemText(kIdCancel, "Close");
  }
};

CScriptDialog::CScriptDialog(Target& target, const Script& script, TargetNetwork& network,
                             CDialog* parent)
    : CDialog(kIddScriptDialog, parent),
      state_(new State{target, script, network, {}, {}, {}, {}, false}) {}

CScriptDialog::~CScriptDialog() = default;

namespace {
void SetIfChanged(CStatic& line, const std::string& text) {
  if (line.GetText() != text) line.SetText(text);
}
}  // namespace

void CScriptDialog::SetOperationText(const std::string& text) {
  SetIfChanged(state_->operation, text);
}

void CScriptDialog::SetStatusText(const std::string& text) { SetIfChanged(state_->status, text); }

void CScriptDialog::SetProgress(uint32_t done, uint32_t total) {
  const uint64_t steps = total == 0 ? 0 : uint64_t{std::min(done, total)} * kProgressSteps / total;
  state_->ShowProgress(static_cast<int>(steps));
}

void CScriptDialog::DoDataExchange() {
  CDialog::DoDataExchange();
  DDX_Control(*this, kIdcOperation, state_->operation);
  DDX_Control(*this, kIdcStatus, state_->status);
  DDX_Control(*this, kIdcProgress, state_->progress);
}

bool CScriptDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  state_->progress.SetRange32(0, kProgressSteps);
  state_->runner =
      std::make_unique<ScriptRunner>(state_->target, state_->script, state_->network, *this);
  SetTimer(kStepTimer, kStepPeriodMs);
  return true;
}

// Enter must not close the run.
void CScriptDialog::OnOK() {}

void CScriptDialog::OnCancel() {
  KillTimer(kStepTimer);
  // Unhooks the waiting directive; nothing is sent, and later replies are dropped at the hook.
  if (state_->runner) state_->runner->Cancel();
  CDialog::OnCancel();
}

// Stopped for the length of the tick, so that no tick starts while a message box of this one
// is open.
void CScriptDialog::OnTimer(unsigned) {
  KillTimer(kStepTimer);
  try {
    if (state_->runner) state_->runner->Tick();
    state_->ShowFinished(*this);
  } catch (const Exception& e) {
    AfxMessageBox(e.Message(), kMbOk | kMbIconExclamation);
    OnCancel();
    return;
  }
  SetTimer(kStepTimer, kStepPeriodMs);
}

}  // namespace qor
