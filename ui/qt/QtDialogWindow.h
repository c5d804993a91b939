#pragma once

#include <QPointer>
#include <memory>

#include "ui/Backend.h"

class QDialog;
class QPixmap;
class QWidget;

namespace qor::qt {

class QtAddressEdit;

// A dialog laid out from its template, in dialog units converted with the dialog font's
// metrics. Linux window managers offer no system menu a program can extend, so the entries the
// program appends to it are offered on a right-click on the dialog's background instead, and F1
// chooses the first of them.
class QtDialogWindow final : public ui::DialogWindow {
 public:
  QtDialogWindow(const DialogTemplate& dialog, QtDialogWindow* owner, ui::DialogEvents& events);
  ~QtDialogWindow() override;

  [[nodiscard]] QDialog* Widget() const;
  [[nodiscard]] QWidget* Control(int id) const;
  [[nodiscard]] QtAddressEdit* AddressEdit(int id) const;
  // Pixels per dialog unit base: average character width and height of the dialog font.
  [[nodiscard]] int BaseWidth() const;
  [[nodiscard]] int BaseHeight() const;
  [[nodiscard]] const std::vector<ui::MenuItem>& SystemMenuItems() const;

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

 private:
  class Form;
  struct State;
  std::unique_ptr<State> state_;
};

// The icon as a pixmap.
QPixmap IconPixmap(const IconImage& icon);

}  // namespace qor::qt
