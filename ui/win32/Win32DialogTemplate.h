#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "res/Resources.h"

namespace qor::win32 {

// A dialog template of res/ as the Windows dialog manager reads it: an extended template
// (DLGTEMPLATEEX) in memory, so that the real dialog manager creates the window and its
// controls from the one definition every backend shares.
class Win32DialogTemplate {
 public:
  explicit Win32DialogTemplate(const DialogTemplate& dialog);

  [[nodiscard]] const DLGTEMPLATE* Get() const;
  [[nodiscard]] size_t SizeInBytes() const;

  // What the window gets beyond the template's own bits: every dialog is a pop-up window.
  static constexpr DWORD kDialogStyle = WS_POPUP;

 private:
  std::vector<WORD> words_;
};

}  // namespace qor::win32
