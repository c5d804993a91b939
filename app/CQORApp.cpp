#include "app/CQORApp.h"

#include <exception>

#include "app/CQORDialog.h"
#include "catalog/ScriptCatalogue.h"
#include "net/NetworkSetup.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/ScriptFolders.h"
#include "platform/TrustedKeyFolders.h"
#include "platform/UdpSocket.h"
#include "res/ResourceIds.h"
#include "res/Resources.h"
#include "trust/TrustedKeys.h"
#include "ui/Backend.h"
#include "ui/CDialog.h"
#include "ui/MessageBox.h"

namespace qor {

struct CQORApp::State {
  Platform platform;
  std::string executableDirectory;
  int exitCode = 0;
};

CQORApp::Platform CQORApp::RealPlatform(const std::string& adapter) {
  NetworkSetup setup;
  setup.adapter = adapter;
  // An adapter that cannot be used throws here, and start-up shows why.
  return {[] { return InitSocketSupport(); }, [] { return ExecutableDirectory(); },
          [setup] { return setup.Open(); },
          [](const std::string& programFolder) { return ScriptFolders(programFolder); },
          [](const std::string& programFolder) { return TrustedKeyFolders(programFolder); }};
}

CQORApp::CQORApp() : CQORApp(RealPlatform()) {}

CQORApp::CQORApp(Platform platform) : CWinApp("QOR"), state_(std::make_unique<State>()) {
  state_->platform = std::move(platform);
}

CQORApp::~CQORApp() = default;

bool CQORApp::InitInstance() {
  (void)InitCommonControlsEx(kIccWin95Classes);
  CWinApp::InitInstance();

  if (!state_->platform.initSocketSupport()) {
    AfxMessageBox(LoadStringResource(kIdpSocketsInitFailed), kMbOk | kMbIconExclamation);
    state_->exitCode = 1;
    return false;
  }

  const std::optional<std::string> directory = state_->platform.executableDirectory();
  if (!directory) {
    AfxMessageBox("GetModuleFileName failed; cannot determine executable name",
                  kMbOk | kMbIconExclamation);
    state_->exitCode = 1;
    return false;
  }
  state_->executableDirectory = *directory;

  SetRegistryKey("Local AppWizard-Generated Applications");

  std::optional<std::string> failure;
  try {
    // Declared in the order of creation, so that an error destroys them in reverse.
    const Platform& platform = state_->platform;
    const TrustedKeys keys =
        TrustedKeys::Load(platform.trustedKeyFolders ? platform.trustedKeyFolders(*directory)
                                                     : std::vector<std::string>{});
    auto catalogue = std::make_unique<ScriptCatalogue>(keys);
    catalogue->ScanDirectories(state_->platform.scriptFolders(state_->executableDirectory));
    std::unique_ptr<TargetNetwork> network = state_->platform.openNetwork();
    network->SetDiscoverErrorHandler(
        [](const std::string& message) { AfxMessageBox(message, kMbOk | kMbIconExclamation); });
    {
      CQORDialog dialog(*network, *catalogue);
      SetMainWindow(&dialog);
      struct Unset {
        CWinApp& app;
        ~Unset() { app.SetMainWindow(nullptr); }
      } unset{*this};
      dialog.DoModal();
    }
    network->Close();
    network.reset();
    catalogue.reset();
  } catch (const Exception& e) {
    failure = e.Message();
  } catch (const std::exception& e) {
    // Not an error of ours, but the operator still learns why the program ends.
    failure = e.what();
  }
  if (failure) {
    AfxMessageBox(*failure, kMbOk | kMbIconExclamation);
    state_->exitCode = 1;
  }
  return false;
}

bool CQORApp::ChooseScriptFile(std::string& path) {
  ui::OpenFileRequest request;
  request.owner = MainWindow() != nullptr ? MainWindow()->Window() : nullptr;
  request.title = "Open Script File";
  request.filters = {{"QOR Scripts (.QOR)", "*.QOR"}, {"All Files", "*.*"}};
  request.filterIndex = 1;
  request.initialDirectory = state_->executableDirectory;
  request.defaultExtension = "QOR";
  request.flags = kOfnExplorer | kOfnFileMustExist | kOfnHideReadOnly | kOfnShareAware;

  const ui::OpenFileResult result = ui::CurrentWindowSystem().ShowOpenFileDialog(request);
  if (!result.chosen) return false;  // the extended error tells nothing the operator needs
  path = result.path;
  return !path.empty();
}

const std::string& CQORApp::ExecutableDirectoryName() const { return state_->executableDirectory; }

int CQORApp::ExitCode() const { return state_->exitCode; }

}  // namespace qor
