#include "ui/CDialog.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "ui/Backend.h"
#include "ui/CMenu.h"
#include "ui/CWinApp.h"

namespace qor {

namespace {
// The dialogs whose modal runs are in progress, outermost first.
std::vector<CDialog*> g_running;
}  // namespace

class CDialog::Events final : public ui::DialogEvents {
 public:
  explicit Events(CDialog& dialog) : dialog_(dialog) {}
  void InitDialogEvent() override {
    dialog_.Guard([this] { dialog_.OnInitDialog(); });
  }
  void CommandEvent(int id) override {
    dialog_.Guard([this, id] { dialog_.Command(id); });
  }
  void KeyEvent(ui::DialogKey key, int focusedControl) override {
    dialog_.Guard([this, key, focusedControl] { dialog_.PressKey(key, focusedControl); });
  }
  void SysCommandEvent(unsigned command) override {
    dialog_.Guard([this, command] { dialog_.OnSysCommand(command); });
  }
  void TimerEvent(unsigned id) override {
    dialog_.Guard([this, id] { dialog_.OnTimer(id); });
  }
  void SocketEvent(unsigned id) override {
    dialog_.Guard([this, id] { dialog_.OnSocketReadable(id); });
  }

 private:
  CDialog& dialog_;
};

struct CDialog::State {
  int templateId = 0;
  const DialogTemplate* dialog = nullptr;
  CDialog* parent = nullptr;
  std::unique_ptr<ui::DialogWindow> window;
  std::unique_ptr<CMenu> systemMenu;
  std::exception_ptr escaped;
  std::unique_ptr<Events> events;
};

CDialog::CDialog(int templateId, CDialog* parent) : state_(std::make_unique<State>()) {
  state_->templateId = templateId;
  state_->parent = parent;
  state_->events = std::make_unique<Events>(*this);
}

CDialog::~CDialog() = default;

int CDialog::DoModal() {
  const DialogTemplate* dialog = FindDialogTemplate(state_->templateId);
  if (dialog == nullptr || state_->window) return -1;
  state_->dialog = dialog;

  // Owned by the given parent, else by the main window, as long as that is not this dialog.
  CDialog* owner = state_->parent;
  if (owner == nullptr && AfxGetApp() != nullptr) owner = AfxGetApp()->MainWindow();
  if (owner == this) owner = nullptr;
  ui::DialogWindow* ownerWindow = owner != nullptr ? owner->Window() : nullptr;

  state_->escaped = nullptr;
  state_->window =
      ui::CurrentWindowSystem().CreateDialogWindow(*dialog, ownerWindow, *state_->events);
  if (!state_->window) return -1;
  if (dialog->Has(style::kSysMenu)) {
    state_->systemMenu = std::make_unique<CMenu>(*state_->window);
  }

  const auto finish = [this] {
    Guard([this] { OnDestroy(); });
    g_running.erase(std::find(g_running.begin(), g_running.end(), this));
    state_->systemMenu.reset();
    state_->window.reset();
  };
  g_running.push_back(this);
  int result = 0;
  try {
    result = state_->window->RunModal();
  } catch (...) {
    // The window system itself gave up (the headless one does when its operator runs dry):
    // close the run all the same, so that no destroyed dialog is left as the active one.
    finish();
    state_->escaped = nullptr;
    throw;
  }
  finish();

  if (state_->escaped) {
    std::exception_ptr escaped = std::exchange(state_->escaped, nullptr);
    std::rethrow_exception(escaped);
  }
  return result;
}

void CDialog::EndDialog(int result) {
  if (state_->window) state_->window->End(result);
}

int CDialog::TemplateId() const { return state_->templateId; }
CDialog* CDialog::Parent() const { return state_->parent; }
ui::DialogWindow* CDialog::Window() const { return state_->window.get(); }
CDialog* CDialog::Active() { return g_running.empty() ? nullptr : g_running.back(); }

void CDialog::SetTimer(unsigned id, unsigned milliseconds) {
  if (state_->window) state_->window->SetTimer(id, milliseconds);
}

void CDialog::KillTimer(unsigned id) {
  if (state_->window) state_->window->KillTimer(id);
}

void CDialog::WatchSocket(unsigned id, intptr_t handle) {
  if (state_->window) state_->window->WatchSocket(id, handle);
}

void CDialog::UnwatchSocket(unsigned id) {
  if (state_->window) state_->window->UnwatchSocket(id);
}

std::optional<Rect> CDialog::GetDlgItemRect(int id) const {
  if (!state_->window) return std::nullopt;
  return state_->window->ControlRect(id);
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
  if (state_->window) state_->window->SetControlText(id, text, TextConversion::kLenient);
}

CMenu* CDialog::GetSystemMenu() { return state_->systemMenu.get(); }

void CDialog::SetIcon(const IconImage& icon, bool big) {
  if (state_->window) state_->window->SetIcon(icon, big);
}

void CDialog::DoDataExchange() {}

bool CDialog::OnInitDialog() {
  DoDataExchange();
  return true;
}

void CDialog::OnOK() { EndDialog(kIdOk); }
void CDialog::OnCancel() { EndDialog(kIdCancel); }
bool CDialog::OnCommand(int) { return false; }

void CDialog::OnSysCommand(unsigned command) {
  // The close box is Cancel, whichever window system drew it.
  if ((command & kScCommandMask) == kScClose) {
    OnCancel();
  } else if (state_->window) {
    state_->window->DefaultSysCommand(command);
  }
}

void CDialog::OnTimer(unsigned) {}
void CDialog::OnSocketReadable(unsigned) {}
void CDialog::OnDestroy() {}

void CDialog::Command(int id) {
  if (id == kIdOk) {
    OnOK();
  } else if (id == kIdCancel) {
    OnCancel();
  } else {
    OnCommand(id);
  }
}

// The keyboard of every dialog, whatever draws it. Escape is Cancel. Enter presses the focused
// push button, else the default one, but never Cancel: a script run or the program must not end
// on a stray Enter, only on Escape or a click.
void CDialog::PressKey(ui::DialogKey key, int focusedControl) {
  if (key == ui::DialogKey::kEscape) {
    Command(kIdCancel);
    return;
  }
  const DialogTemplate& dialog = *state_->dialog;  // set before the window exists
  const int button = dialog.IsPushButton(focusedControl) ? focusedControl : dialog.DefaultButton();
  if (button != kIdCancel) Command(button);
}

void CDialog::Guard(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    if (!state_->escaped) state_->escaped = std::current_exception();
    EndDialog(kIdCancel);
  }
}

}  // namespace qor
