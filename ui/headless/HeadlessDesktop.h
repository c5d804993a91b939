#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/Backend.h"

namespace qor::headless {

class HeadlessDialog;

// Raised when the operator's script runs dry while a window waits for input, or asks for
// something the screen does not offer. Deliberately not a std::exception, so that no handler
// of the program mistakes it for one of its own errors.
class HeadlessError {
 public:
  explicit HeadlessError(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

struct ShownMessageBox {
  std::string caption;
  std::string text;
  unsigned type = 0;
  int ownerTemplate = 0;  // 0 when it had no owner
  // Its buttons in order (kIdOk; kIdYes and kIdNo), and the one Enter presses.
  [[nodiscard]] std::vector<int> Buttons() const;
  [[nodiscard]] int DefaultButton() const;
};

struct ShownMenu {
  std::vector<ui::MenuItem> items;
  Point at;
  const ui::Window* owner = nullptr;  // compared only: the window may be gone
  // The commands of the entries that are neither separators nor greyed.
  [[nodiscard]] std::vector<unsigned> EnabledCommands() const;
  [[nodiscard]] const ui::MenuItem* Find(unsigned command) const;
};

// A window system without windows. Tests play the operator: they queue actions with Then(),
// and every modal wait (a dialog, a pop-up menu, a message box, the file dialog) performs the
// queued actions one by one until it is answered. Everything a window would show can be read.
class HeadlessDesktop final : public ui::WindowSystem {
 public:
  using Action = std::function<void(HeadlessDesktop&)>;

  HeadlessDesktop();
  ~HeadlessDesktop() override;
  HeadlessDesktop(const HeadlessDesktop&) = delete;
  HeadlessDesktop& operator=(const HeadlessDesktop&) = delete;

  // The operator's next step.
  HeadlessDesktop& Then(Action action);
  [[nodiscard]] size_t PendingActions() const;

  // What is open, innermost last.
  [[nodiscard]] std::vector<HeadlessDialog*> Dialogs() const;
  // The innermost open dialog with this template; throws HeadlessError when none is open.
  [[nodiscard]] HeadlessDialog& Dialog(int templateId) const;
  [[nodiscard]] bool IsOpen(int templateId) const;
  [[nodiscard]] const ShownMenu* Menu() const;
  [[nodiscard]] const ShownMessageBox* MessageBox() const;
  [[nodiscard]] const ui::OpenFileRequest* FileDialog() const;

  // The operator's answers; each throws HeadlessError when that window is not the one waiting.
  void ChooseMenuItem(unsigned command);  // refuses separators and greyed entries
  void DismissMenu();
  // Refuses a button the box does not have.
  void AnswerMessageBox(int button = kIdOk);
  // Enter: the box's default button.
  void PressEnterOnMessageBox();
  void ChooseFile(const std::string& path);
  void CancelFileDialog();
  // Fires every running timer of every open dialog once, outermost dialog first.
  void FireTimers();

  // Everything shown so far, in order.
  [[nodiscard]] const std::vector<ShownMessageBox>& MessageBoxes() const;
  [[nodiscard]] const std::vector<ShownMenu>& Menus() const;
  // "create 102", "init 102", "end 102 2", "destroy 102", "menu", "message box ...": tests may
  // add their own entries to see the order of what happened.
  [[nodiscard]] const std::vector<std::string>& Events() const;
  void Log(const std::string& event);

  // How the platform behaves.
  bool failCommonControls = false;
  bool failListCreation = false;
  // Bytes the code page does not define: a control text holding one is shown empty when set
  // strictly, and with '?' in their place when set leniently.
  std::string unconvertibleBytes;
  [[nodiscard]] std::optional<uint32_t> CommonControlsClasses() const;

  // The window system.
  bool InitCommonControls(uint32_t classes) override;
  std::unique_ptr<ui::DialogWindow> CreateDialogWindow(const DialogTemplate& dialog,
                                                       ui::DialogWindow* owner,
                                                       ui::DialogEvents& events) override;
  unsigned TrackPopupMenu(const std::vector<ui::MenuItem>& items, Point screen,
                          ui::Window* owner) override;
  int ShowMessageBox(ui::DialogWindow* owner, const std::string& text, const std::string& caption,
                     unsigned type) override;
  ui::OpenFileResult ShowOpenFileDialog(const ui::OpenFileRequest& request) override;

  // For the headless windows.
  void RunUntil(const std::function<bool()>& done, const std::string& waitingFor);
  void Opened(HeadlessDialog& dialog);
  void Closed(HeadlessDialog& dialog);
  // Throws HeadlessError unless dialog is the window taking input.
  void CheckTakesInput(const HeadlessDialog& dialog, const std::string& what) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::headless
