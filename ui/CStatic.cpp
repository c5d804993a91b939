#include "ui/CStatic.h"

#include "ui/Backend.h"
#include "ui/CDialog.h"

namespace qor {

struct CStatic::State {
  CDialog* dialog = nullptr;
  int id = 0;
};

CStatic::CStatic() : state_(std::make_unique<State>()) {}
CStatic::~CStatic() = default;

void CStatic::Attach(CDialog& dialog, int id) {
  state_->dialog = &dialog;
  state_->id = id;
}

bool CStatic::IsAttached() const { return state_->dialog != nullptr; }

std::string CStatic::GetText() const {
  if (state_->dialog == nullptr || state_->dialog->Window() == nullptr) return {};
  return state_->dialog->Window()->ControlText(state_->id);
}

void CStatic::SetText(const std::string& text, TextConversion conversion) {
  if (state_->dialog == nullptr || state_->dialog->Window() == nullptr) return;
  state_->dialog->Window()->SetControlText(state_->id, text, conversion);
}

void DDX_Control(CDialog& dialog, int id, CStatic& control) { control.Attach(dialog, id); }

}  // namespace qor
