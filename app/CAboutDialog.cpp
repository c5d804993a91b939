#include "app/CAboutDialog.h"

#include "QorVersion.h"
#include "platform/Format.h"
#include "res/ResourceIds.h"
#include "ui/CStatic.h"

namespace qor {

struct CAboutDialog::State {
  CStatic buildLine;
};

CAboutDialog::CAboutDialog() : CDialog(kIddAboutBox), state_(std::make_unique<State>()) {}
CAboutDialog::~CAboutDialog() = default;

// The compiler's date has exactly the form shown: month, day padded with a space, year.
std::string CAboutDialog::BuildDate() { return __DATE__; }

void CAboutDialog::DoDataExchange() {
  CDialog::DoDataExchange();
  DDX_Control(*this, kIdcBuildLine, state_->buildLine);
}

bool CAboutDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  state_->buildLine.SetText(Format("Version %s, built %s", kQorVersion, BuildDate().c_str()));
  return true;
}

}  // namespace qor
