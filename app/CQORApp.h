#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/CWinApp.h"

namespace qor {

class TargetNetwork;

// The application object: start-up builds the catalogue from the scripts beside the program (and
// in the system's script folders), opens the network, runs the main dialog and tears everything
// down again.
class CQORApp : public CWinApp {
 public:
  // What start-up asks of the platform: socket support, the program's directory and its
  // network. The program uses the real ones; tests hand in a failing socket start-up, a
  // directory of their own and a network over a fake socket.
  struct Platform {
    std::function<bool()> initSocketSupport;
    std::function<std::optional<std::string>()> executableDirectory;
    std::function<std::unique_ptr<TargetNetwork>()> openNetwork;
    // The folders whose scripts make the catalogue, most important first, given the program's
    // directory.
    std::function<std::vector<std::string>(const std::string& programFolder)> scriptFolders;
    // The folders of the keys trusted to sign scripts, given the program's directory; none
    // when not given.
    std::function<std::vector<std::string>(const std::string& programFolder)> trustedKeyFolders;
  };
  // adapter: send and listen through that adapter alone (--interface); empty: every adapter.
  [[nodiscard]] static Platform RealPlatform(const std::string& adapter = {});

  CQORApp();
  explicit CQORApp(Platform platform);
  ~CQORApp() override;

  // The whole run of the program; always returns false, so that the process ends.
  bool InitInstance() override;

  // The "Open Script File" dialog. Stores the chosen path in path and returns whether it is
  // non-empty; returns false, leaving path alone, when the operator cancels.
  bool ChooseScriptFile(std::string& path);

  // The directory the program file is in, without a trailing separator; empty before start-up.
  [[nodiscard]] const std::string& ExecutableDirectoryName() const;
  // 0 after a normal run, 1 when start-up failed with a message.
  [[nodiscard]] int ExitCode() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
