#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "res/Resources.h"
#include "ui/UiTypes.h"

// What a window system offers the dialog framework. The framework classes (CDialog, CListCtrl,
// ...) hold the program's logic and talk to a backend only through these interfaces, so a
// headless, a Qt or a Win32 backend can stand behind the same window classes.
namespace qor::ui {

struct MenuItem {
  unsigned id = 0;
  std::string text;
  unsigned flags = kMfString;  // kMfSeparator, kMfGrayed

  [[nodiscard]] bool Separator() const { return (flags & kMfSeparator) != 0; }
  [[nodiscard]] bool Grayed() const { return (flags & kMfGrayed) != 0; }
};

struct FileFilter {
  std::string description;  // "QOR Scripts (.QOR)"
  std::string pattern;      // "*.QOR"
};

class DialogWindow;

// A window of the window system: a dialog, or one of its controls. A pop-up menu is owned by one.
class Window {
 public:
  virtual ~Window() = default;
};

struct OpenFileRequest {
  DialogWindow* owner = nullptr;
  std::string title;
  std::vector<FileFilter> filters;
  int filterIndex = 1;  // 1-based, as on Windows
  std::string initialDirectory;
  std::string defaultExtension;  // without the dot
  uint32_t flags = 0;
};

struct OpenFileResult {
  bool chosen = false;
  std::string path;
  uint32_t extendedError = 0;  // why the dialog failed; 0 when cancelled
};

// The keys whose meaning the dialog decides, the same on every window system.
enum class DialogKey { kEnter, kEscape };

// What a dialog window reports to the framework object behind it: raw input, never what it
// means. The backend calls these on the user-interface thread; they do not throw.
class DialogEvents {
 public:
  virtual void InitDialogEvent() = 0;
  // A push button was clicked (mouse or space bar), or the window system issued a command of
  // its own (a dialog manager's IDCANCEL for a close message).
  virtual void CommandEvent(int id) = 0;
  // Enter or Escape, with the id of the control that has the focus (kIdcStatic when none of the
  // dialog's controls has it). A dialog manager that turns Enter into a command by itself (the
  // focused push button's id, else the default id) reports that id as the focused control: the
  // dialog decides the same either way.
  virtual void KeyEvent(DialogKey key, int focusedControl) = 0;
  virtual void SysCommandEvent(unsigned command) = 0;
  virtual void TimerEvent(unsigned id) = 0;
  // A socket the window watches (WatchSocket) has a datagram waiting.
  virtual void SocketEvent(unsigned id) { static_cast<void>(id); }

 protected:
  ~DialogEvents() = default;
};

class ListEvents {
 public:
  // The right click the list reflects to itself: the row under the mouse (-1 when none) and the
  // mouse position on the screen. Returns the notification's result for the window system
  // (nonzero: handled, the list's default handling does not follow).
  virtual intptr_t RightClickEvent(int row, Point screen) = 0;

 protected:
  ~ListEvents() = default;
};

// A report-style list view; rows and columns by index. Several rows can be selected at once
// unless its style has kListSingleSel. Its texts convert leniently.
class ListWindow : public Window {
 public:
  virtual void SetExtendedStyle(uint32_t exStyle) = 0;
  virtual void InsertColumn(int column, const std::string& heading, int format, int width) = 0;
  virtual void InsertItem(int row, const std::string& text) = 0;
  virtual void SetItemText(int row, int column, const std::string& text) = 0;
  [[nodiscard]] virtual std::string ItemText(int row, int column) const = 0;
  [[nodiscard]] virtual int ItemCount() const = 0;
  virtual void DeleteAllItems() = 0;
  // Adds rows after the last one, each with its texts from column 0 on, in one go: a window
  // system may redraw once for them all. The base inserts them one by one.
  virtual void AppendRows(const std::vector<std::vector<std::string>>& rows) {
    for (const std::vector<std::string>& texts : rows) {
      const int row = ItemCount();
      InsertItem(row, texts.empty() ? std::string() : texts.front());
      for (size_t column = 1; column < texts.size(); ++column) {
        SetItemText(row, static_cast<int>(column), texts[column]);
      }
    }
  }
};

// One dialog built from its template. Destroying it destroys the window and its controls.
class DialogWindow : public Window {
 public:
  // Sends InitDialogEvent, shows the window and dispatches events until End; returns End's
  // result. Other windows of the program stay disabled meanwhile, but their timers run.
  virtual int RunModal() = 0;
  virtual void End(int result) = 0;
  [[nodiscard]] virtual bool Ended() const = 0;

  virtual void SetTimer(unsigned id, unsigned milliseconds) = 0;
  virtual void KillTimer(unsigned id) = 0;

  // Reports SocketEvent(id) from the event loop whenever the socket with this native handle (a
  // file descriptor; a SOCKET on Windows, where WSAAsyncSelect with FD_READ does it) has a
  // datagram waiting, until UnwatchSocket or the end of the dialog. The handler is expected to
  // take the datagrams in. A backend that cannot watch sockets reports nothing; the dialog then
  // relies on its timers.
  virtual void WatchSocket(unsigned id, intptr_t handle) {
    static_cast<void>(id);
    static_cast<void>(handle);
  }
  virtual void UnwatchSocket(unsigned id) { static_cast<void>(id); }

  // The control's rectangle in the dialog's client coordinates (pixels); nothing when the
  // dialog has no such control.
  [[nodiscard]] virtual std::optional<Rect> ControlRect(int id) const = 0;
  [[nodiscard]] virtual std::string ControlText(int id) const = 0;
  virtual void SetControlText(int id, const std::string& text, TextConversion conversion) = 0;

  // The IPv4 address control: four fields, most significant first; blank fields read as 0.
  virtual void SetAddress(int id, uint32_t address) = 0;
  virtual void ClearAddress(int id) = 0;
  // Returns the number of non-blank fields.
  virtual int GetAddress(int id, uint32_t& address) const = 0;

  // A progress bar: the range of its positions, and the position it shows.
  virtual void SetProgressRange(int id, int low, int high) = 0;
  virtual void SetProgressPos(int id, int position) = 0;

  virtual void SetIcon(const IconImage& icon, bool big) = 0;
  virtual void AppendSystemMenuItem(const MenuItem& item) = 0;
  // What the platform does with a system command the dialog leaves to it (minimise, move, ...;
  // the dialog handles Close itself).
  virtual void DefaultSysCommand(unsigned command) = 0;

  // Creates a list view as child id over rect (client coordinates); nullptr on failure.
  virtual std::unique_ptr<ListWindow> CreateList(int id, const Rect& rect, uint32_t style,
                                                 ListEvents& events) = 0;
};

// The window system: one per process, installed before the application starts.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  virtual bool InitCommonControls(uint32_t classes) = 0;

  // nullptr when the window cannot be created. owner may be nullptr.
  virtual std::unique_ptr<DialogWindow> CreateDialogWindow(const DialogTemplate& dialog,
                                                           DialogWindow* owner,
                                                           DialogEvents& events) = 0;
  // Shows a pop-up menu at a screen position, owned by owner (a dialog, or a control such as
  // the list it was opened from), and waits; returns the chosen command or 0. Its texts convert
  // leniently.
  virtual unsigned TrackPopupMenu(const std::vector<MenuItem>& items, Point screen,
                                  Window* owner) = 0;
  // A message box (type as AfxMessageBox takes it); returns the button pressed (kIdOk, kIdYes,
  // kIdNo). Its texts convert leniently.
  virtual int ShowMessageBox(DialogWindow* owner, const std::string& text,
                             const std::string& caption, unsigned type) = 0;
  virtual OpenFileResult ShowOpenFileDialog(const OpenFileRequest& request) = 0;
};

// The installed window system; throws std::logic_error when none is.
[[nodiscard]] WindowSystem& CurrentWindowSystem();
void SetWindowSystem(WindowSystem* system);

// Installs a window system for the lifetime of the object.
class ScopedWindowSystem {
 public:
  explicit ScopedWindowSystem(WindowSystem& system) { SetWindowSystem(&system); }
  ~ScopedWindowSystem() { SetWindowSystem(nullptr); }
  ScopedWindowSystem(const ScopedWindowSystem&) = delete;
  ScopedWindowSystem& operator=(const ScopedWindowSystem&) = delete;
};

}  // namespace qor::ui
