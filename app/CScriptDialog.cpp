#include "app/CScriptDialog.h"

#include <algorithm>
#include <chrono>

#include "exec/ScriptRunner.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/ReceiveSpin.h"
#include "platform/TickCount.h"
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
  // What the lines and the bar are to show, and when the window was last brought up to date.
  std::string operationText;
  std::string statusText;
  int progressPosition = 0;
  uint32_t shownAt = 0;
  bool stepping = false;
  // Steps a target that answers at once without a trip through the event loop.
  ReceiveSpin spin;

  void ShowProgress(int position) {
    if (progress.GetPos() != position) progress.SetPos(position);
  }
  // Once, when the last directive is done: a full bar, and a button that closes.
  void ShowFinished(CDialog& dialog) {
    if (shownFinished || !runner || !runner->Finished() || runner->Closed()) return;
    shownFinished = true;
    progressPosition = kProgressSteps;
    ShowProgress(kProgressSteps);
    dialog.SetDlgItemText(kIdCancel, "Close");
  }
};

CScriptDialog::CScriptDialog(Target& target, const Script& script, TargetNetwork& network,
                             CDialog* parent)
    : CDialog(kIddScriptDialog, parent),
      state_(new State{target, script, network, {}, {}, {}, {}, false, {}, {}, 0, 0, false, {}}) {}

CScriptDialog::~CScriptDialog() {
  if (state_->runner) state_->network.SetReplyListener(nullptr);
}

namespace {
// A line shows its whole text or none: half a progress text would mislead.
void SetIfChanged(CStatic& line, const std::string& text) {
  if (line.GetText() != text) line.SetText(text, TextConversion::kStrict);
}
}  // namespace

void CScriptDialog::SetOperationText(const std::string& text) { state_->operationText = text; }

void CScriptDialog::SetStatusText(const std::string& text) { state_->statusText = text; }

void CScriptDialog::SetProgress(uint32_t done, uint32_t total) {
  const uint64_t steps = total == 0 ? 0 : uint64_t{std::min(done, total)} * kProgressSteps / total;
  state_->progressPosition = static_cast<int>(steps);
}

void CScriptDialog::ShowLines() {
  SetIfChanged(state_->operation, state_->operationText);
  SetIfChanged(state_->status, state_->statusText);
  state_->ShowProgress(state_->progressPosition);
  state_->shownAt = GetTickCount();
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
    ShowLines();
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
  ShowLines();
  state_->ShowFinished(*this);
  SetTimer(kStepTimer, kStepPeriodMs);
}

// Between ticks the window changes at most every 20 ms: a reply per chunk would otherwise
// redraw it a thousand times a second.
void CScriptDialog::OnSocketReadable(unsigned) {
  // A target that answers within microseconds is stepped here again, for up to a tick, instead
  // of through the event loop, whose wake-up takes longer than the answer.
  // The last spin begins early enough to end within the tick.
  constexpr auto kLastSpinAt =
      kStepPeriodMs -
      static_cast<uint32_t>(
          std::chrono::ceil<std::chrono::milliseconds>(ReceiveSpin::kMostWaited).count());
  const uint32_t started = GetTickCount();
  do {
    if (!Step()) return;
  } while (!state_->runner->Closed() && !state_->runner->Finished() &&
           GetTickCount() - started < kLastSpinAt &&
           state_->spin.BeforeSleeping([this] { return state_->network.WaitReadable(0); }));
  if (GetTickCount() - state_->shownAt < kStepPeriodMs) return;
  ShowLines();
  state_->ShowFinished(*this);
}

}  // namespace qor
