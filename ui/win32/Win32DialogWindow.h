#pragma once

#include <windows.h>

#include <memory>

#include "ui/Backend.h"

namespace qor::win32 {

class Win32ListWindow;

// A dialog created by the Windows dialog manager from its template, run modally by a message
// loop of its own that hands keys to IsDialogMessage. What the window reports goes to the
// dialog's events raw: a key the dialog manager resolved to a command arrives as that key, with
// the command's id as the focused control, so the framework's keyboard policy decides.
class Win32DialogWindow final : public ui::DialogWindow {
 public:
  // nullptr when the window cannot be created. owner may be nullptr.
  static std::unique_ptr<Win32DialogWindow> Create(const DialogTemplate& dialog,
                                                   Win32DialogWindow* owner,
                                                   ui::DialogEvents& events);
  ~Win32DialogWindow() override;

  [[nodiscard]] HWND Handle() const;
  // The icon shown while the window is minimised and dragged, once SetIcon gave a big one.
  [[nodiscard]] HICON BigIcon() const;

  int RunModal() override;
  void End(int result) override;
  [[nodiscard]] bool Ended() const override;
  void SetTimer(unsigned id, unsigned milliseconds) override;
  void KillTimer(unsigned id) override;
  void WatchSocket(unsigned id, intptr_t handle) override;
  void UnwatchSocket(unsigned id) override;
  [[nodiscard]] std::optional<Rect> ControlRect(int id) const override;
  [[nodiscard]] std::string ControlText(int id) const override;
  void SetControlText(int id, const std::string& text, TextConversion conversion) override;
  void SetAddress(int id, uint32_t address) override;
  void ClearAddress(int id) override;
  int GetAddress(int id, uint32_t& address) const override;
  void SetProgressRange(int id, int low, int high) override;
  void SetProgressPos(int id, int position) override;
  void SetIcon(const IconImage& icon, bool big) override;
  void AppendSystemMenuItem(const ui::MenuItem& item) override;
  void DefaultSysCommand(unsigned command) override;
  std::unique_ptr<ui::ListWindow> CreateList(int id, const Rect& rect, uint32_t style,
                                             ui::ListEvents& events) override;

  // The lists created over this dialog, so that their notifications reach them.
  void AddList(Win32ListWindow& list);
  void RemoveList(Win32ListWindow& list);

 private:
  Win32DialogWindow();
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

  struct State;
  std::unique_ptr<State> state_;
};

// An icon of the window system made from the image; nullptr when it cannot be.
[[nodiscard]] HICON CreateIconFromImage(const IconImage& image);

}  // namespace qor::win32
