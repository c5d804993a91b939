#pragma once

#include <QString>
#include <QStringList>
#include <memory>

namespace qor::test {

// Plays a plan of operator steps against the running program (qor-automation), for
// screenshots and smoke runs without a person at the screen. The plan is a text file named by
// the environment variable QOR_AUTOMATION, one step a line:
//   wait-rows N              until the main window lists at least N targets
//   wait-dialog ID           until dialog ID is shown
//   wait-text ID CONTROL RE  until a control of dialog ID shows text matching RE
//   wait-popup               until a pop-up menu is open
//   sleep MS
//   rclick-row N             right-click row N of the main window's list
//   menu-choose TEXT         choose the open pop-up menu's entry TEXT (without '&')
//   key NAME                 Escape, Return, F1 or Tab to the window taking input
//   type TEXT                type TEXT into the focused field
//   shot FILE                save a PNG of the screen around the program's windows
// A step that times out (15 s) ends the process with status 3.
class QtAutomation {
 public:
  // nullptr when QOR_AUTOMATION is not set.
  [[nodiscard]] static std::unique_ptr<QtAutomation> FromEnvironment();
  explicit QtAutomation(QStringList steps);
  ~QtAutomation();
  QtAutomation(const QtAutomation&) = delete;
  QtAutomation& operator=(const QtAutomation&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::test
