#pragma once

#include <memory>
#include <string>

#include "ui/UiTypes.h"

namespace qor {

class CDialog;

// A static text control of a dialog, attached by the dialog's data exchange.
class CStatic {
 public:
  CStatic();
  ~CStatic();
  CStatic(const CStatic&) = delete;
  CStatic& operator=(const CStatic&) = delete;

  void Attach(CDialog& dialog, int id);
  [[nodiscard]] bool IsAttached() const;
  // Empty texts while not attached or the dialog has no window.
  [[nodiscard]] std::string GetText() const;
  // A text the window system cannot take whole is shown in part (kLenient) or not at all.
  void SetText(const std::string& text, TextConversion conversion = TextConversion::kLenient);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Attaches a control member to control id of dialog (the data exchange's control binding).
void DDX_Control(CDialog& dialog, int id, CStatic& control);

}  // namespace qor
