#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ui/Backend.h"

namespace qor::headless {

class HeadlessDesktop;
class HeadlessList;

// A dialog without a window: it keeps every control's text, its timers, its system menu and
// its lists, and lets the operator press keys and buttons.
class HeadlessDialog final : public ui::DialogWindow {
 public:
  // Base units of the dialog font, in pixels, as on a 96-dpi Windows desktop.
  static constexpr int kBaseWidth = 6;
  static constexpr int kBaseHeight = 13;

  HeadlessDialog(HeadlessDesktop& desktop, const DialogTemplate& dialog, HeadlessDialog* owner,
                 ui::DialogEvents& events);
  ~HeadlessDialog() override;

  // What the window shows.
  [[nodiscard]] int TemplateId() const;
  [[nodiscard]] const std::string& Caption() const;
  [[nodiscard]] HeadlessDialog* Owner() const;
  [[nodiscard]] std::string Text(int id) const;
  [[nodiscard]] std::array<std::string, 4> AddressFields(int id) const;
  // A progress bar's range and position; throws HeadlessError when id is no progress bar.
  [[nodiscard]] std::pair<int, int> ProgressRange(int id) const;
  [[nodiscard]] int ProgressPos(int id) const;
  [[nodiscard]] const std::vector<ui::MenuItem>& SystemMenu() const;
  [[nodiscard]] bool HasIcon(bool big) const;
  [[nodiscard]] bool Minimized() const;
  [[nodiscard]] bool TimerRunning(unsigned id) const;
  [[nodiscard]] unsigned TimerPeriod(unsigned id) const;  // 0 when not running
  [[nodiscard]] std::vector<unsigned> RunningTimers() const;
  // The native handle of the socket watched under id; -1 when none is.
  [[nodiscard]] intptr_t WatchedSocket(unsigned id) const;
  // The list created as child id; throws HeadlessError when there is none.
  [[nodiscard]] HeadlessList& List(int id) const;
  [[nodiscard]] bool HasList(int id) const;
  [[nodiscard]] int Result() const;
  // The control with the focus; kIdcStatic until the operator gives it to one.
  [[nodiscard]] int FocusedControl() const;

  // The operator. Keys go to the dialog with the focused control; it decides what they do.
  void Focus(int controlId);
  void PressEnter();
  void PressEscape();
  void Click(int buttonId);
  void CloseBox();
  void ChooseSystemMenuItem(unsigned command);
  void TypeAddressField(int id, int field, const std::string& text);
  // Fires timer id once if it is running (timers fire even while the dialog takes no input).
  void FireTimer(unsigned id);
  // Reports the socket watched under id readable, if one is (as when a datagram arrives).
  void SocketReadable(unsigned id);

  // The window system.
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

  // For HeadlessList.
  void ListGone(int id);
  [[nodiscard]] HeadlessDesktop& Desktop() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::headless
