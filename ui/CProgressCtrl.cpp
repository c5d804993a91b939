#include "ui/CProgressCtrl.h"

#include <algorithm>

#include "ui/Backend.h"
#include "ui/CDialog.h"

namespace qor {

struct CProgressCtrl::State {
  CDialog* dialog = nullptr;
  int id = 0;
  // A new progress bar's range, as on Windows.
  int low = 0;
  int high = 100;
  int position = 0;

  [[nodiscard]] ui::DialogWindow* Window() const {
    return dialog != nullptr ? dialog->Window() : nullptr;
  }
};

CProgressCtrl::CProgressCtrl() : state_(std::make_unique<State>()) {}
CProgressCtrl::~CProgressCtrl() = default;

void CProgressCtrl::Attach(CDialog& dialog, int id) {
  state_->dialog = &dialog;
  state_->id = id;
}

bool CProgressCtrl::IsAttached() const { return state_->dialog != nullptr; }

void CProgressCtrl::SetRange32(int low, int high) {
  State& s = *state_;
  s.low = low;
  s.high = std::max(low, high);
  s.position = std::clamp(s.position, s.low, s.high);
  if (auto* window = s.Window()) window->SetProgressRange(s.id, s.low, s.high);
}

void CProgressCtrl::SetPos(int position) {
  State& s = *state_;
  s.position = std::clamp(position, s.low, s.high);
  if (auto* window = s.Window()) window->SetProgressPos(s.id, s.position);
}

int CProgressCtrl::GetPos() const { return state_->position; }

void DDX_Control(CDialog& dialog, int id, CProgressCtrl& control) { control.Attach(dialog, id); }

}  // namespace qor
