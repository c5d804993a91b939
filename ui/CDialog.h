#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "res/Resources.h"
#include "ui/UiTypes.h"

namespace qor {

namespace ui {
class DialogWindow;
enum class DialogKey;
}  // namespace ui
class CMenu;

// A modal dialog built from a dialog template. Derived classes override the handlers; the
// window exists from just before OnInitDialog until just after OnDestroy.
//
// Anything a handler lets escape ends the dialog (and every dialog it was opened from) and is
// thrown again from DoModal, so an error never unwinds through the window system.
class CDialog {
 public:
  explicit CDialog(int templateId, CDialog* parent = nullptr);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the window, runs it until EndDialog and destroys it; returns EndDialog's result,
  // or -1 when the window cannot be created.
  int DoModal();
  void EndDialog(int result);

  [[nodiscard]] int TemplateId() const;
  [[nodiscard]] CDialog* Parent() const;
  // The window while it exists, else nullptr (for the framework's control classes).
  [[nodiscard]] ui::DialogWindow* Window() const;
  // The innermost dialog running, or nullptr.
  [[nodiscard]] static CDialog* Active();

  void SetTimer(unsigned id, unsigned milliseconds);
  void KillTimer(unsigned id);
  // OnSocketReadable(id) whenever the socket with this native handle has a datagram waiting,
  // until UnwatchSocket or the end of the dialog (where the window system offers it).
  void WatchSocket(unsigned id, intptr_t handle);
  void UnwatchSocket(unsigned id);
  // The control's rectangle in client coordinates; nothing when there is no such control.
  [[nodiscard]] std::optional<Rect> GetDlgItemRect(int id) const;
  // The text of a control (a button's caption, say); nothing happens without a window.
  void SetDlgItemText(int id, const std::string& text);
  // The window's system menu; nullptr when the dialog has none or no window.
  [[nodiscard]] CMenu* GetSystemMenu();
  void SetIcon(const IconImage& icon, bool big);

 protected:
  // Attaches the control members to their controls. The base OnInitDialog calls it.
  virtual void DoDataExchange();
  virtual bool OnInitDialog();
  // OK, by its button or by Enter when that presses it: the base ends the dialog with kIdOk.
  virtual void OnOK();
  // Cancel, Escape or the close box: the base ends the dialog with kIdCancel.
  virtual void OnCancel();
  // Any other button; returns whether it was handled.
  virtual bool OnCommand(int id);
  // The base hands the command to the platform (move, minimise, close, ...).
  virtual void OnSysCommand(unsigned command);
  virtual void OnTimer(unsigned id);
  virtual void OnSocketReadable(unsigned id);
  // The window is about to go; its controls still exist.
  virtual void OnDestroy();

 private:
  friend class CListCtrl;
  class Events;
  // A button's command: OnOK, OnCancel or OnCommand.
  void Command(int id);
  void PressKey(ui::DialogKey key, int focusedControl);
  // Runs a handler; what escapes it ends the modal run and is kept for DoModal to throw.
  void Guard(const std::function<void()>& handler);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
