#include "ui/MessageBox.h"

#include "ui/Backend.h"
#include "ui/CDialog.h"
#include "ui/CWinApp.h"

namespace qor {

int AfxMessageBox(const std::string& text, unsigned type) {
  CDialog* owner = CDialog::Active();
  const std::string caption = AfxGetApp() != nullptr ? AfxGetApp()->AppName() : std::string();
  return ui::CurrentWindowSystem().ShowMessageBox(owner != nullptr ? owner->Window() : nullptr,
                                                  text, caption, type);
}

}  // namespace qor
