#include "app/CScriptDialog.h"

#include "exec/ScriptRunner.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/TickCount.h"
#include "res/ResourceIds.h"
#include "ui/CStatic.h"
#include "ui/MessageBox.h"

namespace qor {

struct CScriptDialog::State {
  Target& target;
  const Script& script;
  TargetNetwork& network;
  CStatic operation;
  CStatic status;
  std::unique_ptr<ScriptRunner> runner;
  // The texts the lines are to show, and when the lines were last brought up to date.
  std::string operationText;
  std::string statusText;
  uint32_t shownAt = 0;
  bool stepping = false;
};

CScriptDialog::CScriptDialog(Target& target, const Script& script, TargetNetwork& network,
                             CDialog* parent)
    : CDialog(kIddScriptDialog, parent),
      state_(new State{target, script, network, {}, {}, {}, {}, {}, 0, false}) {}

CScriptDialog::~CScriptDialog() {
  if (state_->runner) state_->network.SetReplyListener(nullptr);
}

namespace {
void SetIfChanged(CStatic& line, const std::string& text) {
  if (line.GetText() != text) line.SetText(text);
}
}  // namespace

void CScriptDialog::SetOperationText(const std::string& text) { state_->operationText = text; }

void CScriptDialog::SetStatusText(const std::string& text) { state_->statusText = text; }

void CScriptDialog::ShowTexts() {
  SetIfChanged(state_->operation, state_->operationText);
  SetIfChanged(state_->status, state_->statusText);
  state_->shownAt = GetTickCount();
}

void CScriptDialog::DoDataExchange() {
  CDialog::DoDataExchange();
  DDX_Control(*this, kIdcOperation, state_->operation);
  DDX_Control(*this, kIdcStatus, state_->status);
}

bool CScriptDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  state_->runner =
      std::make_unique<ScriptRunner>(state_->target, state_->script, state_->network, *this);
  SetTimer(kStepTimer, kStepPeriodMs);
  // A reply steps the run at once; the timer stays for resends and silent targets.
  WatchSocket(kSocketWatch, state_->network.SocketHandle());
  // A reply the main window's poll took brings the next tick forward to now.
  state_->network.SetReplyListener([this] {
    if (!state_->stepping) SetTimer(kStepTimer, 0);
  });
  return true;
}

// Enter must not close the run.
void CScriptDialog::OnOK() {}

void CScriptDialog::OnCancel() {
  KillTimer(kStepTimer);
  UnwatchSocket(kSocketWatch);
  state_->network.SetReplyListener(nullptr);
  // Unhooks the waiting directive; nothing is sent, and later replies are dropped at the hook.
  if (state_->runner) state_->runner->Cancel();
  CDialog::OnCancel();
}

bool CScriptDialog::Step() {
  try {
    state_->stepping = true;
    struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{state_->stepping};
    if (state_->runner) state_->runner->Tick();
  } catch (const Exception& e) {
    // No step may start while the message box is open.
    KillTimer(kStepTimer);
    UnwatchSocket(kSocketWatch);
    ShowTexts();
    AfxMessageBox(e.Message(), kMbOk | kMbIconExclamation);
    OnCancel();
    return false;
  }
  return true;
}

// Stopped for the length of the tick, so that no tick starts while a message box of this one
// is open.
void CScriptDialog::OnTimer(unsigned) {
  KillTimer(kStepTimer);
  if (!Step()) return;
  ShowTexts();
  SetTimer(kStepTimer, kStepPeriodMs);
}

// Between ticks the lines change at most every 20 ms: a reply per chunk would otherwise redraw
// them a thousand times a second.
void CScriptDialog::OnSocketReadable(unsigned) {
  if (!Step()) return;
  if (GetTickCount() - state_->shownAt >= kStepPeriodMs) ShowTexts();
}

}  // namespace qor
