#include "ui/CWinApp.h"

#include "ui/Backend.h"

namespace qor {

namespace {
CWinApp* g_app = nullptr;
}

struct CWinApp::State {
  std::string appName;
  std::string registryKey;
  CDialog* mainWindow = nullptr;
};

CWinApp::CWinApp(std::string appName) : state_(std::make_unique<State>()) {
  state_->appName = std::move(appName);
  g_app = this;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

bool CWinApp::InitInstance() { return true; }

const std::string& CWinApp::AppName() const { return state_->appName; }
CDialog* CWinApp::MainWindow() const { return state_->mainWindow; }
void CWinApp::SetMainWindow(CDialog* window) { state_->mainWindow = window; }
void CWinApp::SetRegistryKey(const std::string& key) { state_->registryKey = key; }
const std::string& CWinApp::RegistryKey() const { return state_->registryKey; }

CWinApp* AfxGetApp() { return g_app; }

bool InitCommonControlsEx(uint32_t classes) {
  return ui::CurrentWindowSystem().InitCommonControls(classes);
}

}  // namespace qor
