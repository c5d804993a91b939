#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qor {

class CDialog;

// The application object: its start-up routine is the whole life of the program.
class CWinApp {
 public:
  explicit CWinApp(std::string appName);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // The start-up routine. The base one does nothing and returns true.
  virtual bool InitInstance();

  // The title every message box of the program carries.
  [[nodiscard]] const std::string& AppName() const;
  [[nodiscard]] CDialog* MainWindow() const;
  void SetMainWindow(CDialog* window);
  // Where settings would be kept; the name only, nothing is stored.
  void SetRegistryKey(const std::string& key);
  [[nodiscard]] const std::string& RegistryKey() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The application object, or nullptr when there is none.
[[nodiscard]] CWinApp* AfxGetApp();

// Prepares the window system's common controls; false when it cannot.
[[nodiscard]] bool InitCommonControlsEx(uint32_t classes);

}  // namespace qor
