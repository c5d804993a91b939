#include "ui/headless/HeadlessDialog.h"

#include <map>

#include "platform/Format.h"
#include "ui/headless/HeadlessDesktop.h"
#include "ui/headless/HeadlessList.h"

namespace qor::headless {

struct HeadlessDialog::State {
  HeadlessDesktop* desktop = nullptr;
  const DialogTemplate* dialog = nullptr;
  HeadlessDialog* owner = nullptr;
  ui::DialogEvents* events = nullptr;
  std::map<int, std::string> texts;
  std::map<int, std::array<std::string, 4>> addresses;
  struct Progress {
    int low = 0;
    int high = 100;
    int position = 0;
  };
  std::map<int, Progress> progress;
  std::map<unsigned, unsigned> timers;
  std::map<unsigned, intptr_t> sockets;
  std::vector<ui::MenuItem> systemMenu;
  std::map<int, HeadlessList*> lists;
  bool bigIcon = false;
  bool smallIcon = false;
  bool minimized = false;
  bool ended = false;
  int result = 0;
  int focus = kIdcStatic;

  Progress& RequireProgress(int id) {
    auto it = progress.find(id);
    if (it == progress.end()) {
      throw HeadlessError(Format("dialog %d has no progress bar %d", dialog->id, id));
    }
    return it->second;
  }

  void RequireControl(int id) const {
    if (dialog->Control(id) == nullptr) {
      throw HeadlessError(Format("dialog %d has no control %d", dialog->id, id));
    }
  }
};

HeadlessDialog::HeadlessDialog(HeadlessDesktop& desktop, const DialogTemplate& dialog,
                               HeadlessDialog* owner, ui::DialogEvents& events)
    : state_(std::make_unique<State>()) {
  state_->desktop = &desktop;
  state_->dialog = &dialog;
  state_->owner = owner;
  state_->events = &events;
  for (const auto& control : dialog.controls) {
    if (control.id == kIdcStatic) continue;
    if (control.kind == ControlKind::kIpAddress) {
      state_->addresses[control.id] = {};
    } else if (control.kind == ControlKind::kProgress) {
      state_->progress[control.id] = {};
    } else {
      state_->texts[control.id] = control.text;
    }
  }
  desktop.Log(Format("create %d", dialog.id));
  desktop.Opened(*this);
}

HeadlessDialog::~HeadlessDialog() {
  for (auto& [id, list] : state_->lists) list->Orphan();
  state_->desktop->Closed(*this);
  state_->desktop->Log(Format("destroy %d", state_->dialog->id));
}

int HeadlessDialog::TemplateId() const { return state_->dialog->id; }
const std::string& HeadlessDialog::Caption() const { return state_->dialog->caption; }
HeadlessDialog* HeadlessDialog::Owner() const { return state_->owner; }

std::string HeadlessDialog::Text(int id) const { return ControlText(id); }

std::array<std::string, 4> HeadlessDialog::AddressFields(int id) const {
  auto it = state_->addresses.find(id);
  if (it == state_->addresses.end()) {
    throw HeadlessError(Format("dialog %d has no address control %d", TemplateId(), id));
  }
  return it->second;
}

std::pair<int, int> HeadlessDialog::ProgressRange(int id) const {
  const auto& bar = state_->RequireProgress(id);
  return {bar.low, bar.high};
}

int HeadlessDialog::ProgressPos(int id) const { return state_->RequireProgress(id).position; }

const std::vector<ui::MenuItem>& HeadlessDialog::SystemMenu() const { return state_->systemMenu; }
bool HeadlessDialog::HasIcon(bool big) const { return big ? state_->bigIcon : state_->smallIcon; }
bool HeadlessDialog::Minimized() const { return state_->minimized; }

bool HeadlessDialog::TimerRunning(unsigned id) const { return state_->timers.contains(id); }

unsigned HeadlessDialog::TimerPeriod(unsigned id) const {
  auto it = state_->timers.find(id);
  return it == state_->timers.end() ? 0 : it->second;
}

std::vector<unsigned> HeadlessDialog::RunningTimers() const {
  std::vector<unsigned> ids;
  for (const auto& [id, period] : state_->timers) ids.push_back(id);
  return ids;
}

HeadlessList& HeadlessDialog::List(int id) const {
  auto it = state_->lists.find(id);
  if (it == state_->lists.end()) {
    throw HeadlessError(Format("dialog %d has no list %d", TemplateId(), id));
  }
  return *it->second;
}

bool HeadlessDialog::HasList(int id) const { return state_->lists.contains(id); }
int HeadlessDialog::Result() const { return state_->result; }

int HeadlessDialog::FocusedControl() const { return state_->focus; }

void HeadlessDialog::Focus(int controlId) {
  state_->desktop->CheckTakesInput(*this, Format("focus control %d", controlId));
  // A visible tab stop of the template, or a list created on the dialog.
  const ControlTemplate* control = state_->dialog->Control(controlId);
  const uint32_t focusable = style::kVisible | style::kTabStop;
  if (!HasList(controlId) && (control == nullptr || (control->style & focusable) != focusable)) {
    throw HeadlessError(Format("dialog %d has no control %d to focus", TemplateId(), controlId));
  }
  state_->focus = controlId;
}

void HeadlessDialog::PressEnter() {
  state_->desktop->CheckTakesInput(*this, "press Enter");
  state_->events->KeyEvent(ui::DialogKey::kEnter, state_->focus);
}

void HeadlessDialog::PressEscape() {
  state_->desktop->CheckTakesInput(*this, "press Escape");
  state_->events->KeyEvent(ui::DialogKey::kEscape, state_->focus);
}

void HeadlessDialog::Click(int buttonId) {
  state_->desktop->CheckTakesInput(*this, Format("click button %d", buttonId));
  const ControlTemplate* control = state_->dialog->Control(buttonId);
  if (control == nullptr || control->kind != ControlKind::kPushButton) {
    throw HeadlessError(Format("dialog %d has no button %d", TemplateId(), buttonId));
  }
  state_->events->CommandEvent(buttonId);
}

void HeadlessDialog::CloseBox() {
  state_->desktop->CheckTakesInput(*this, "click the close box");
  if (!state_->dialog->Has(style::kSysMenu)) {
    throw HeadlessError(Format("dialog %d has no close box", TemplateId()));
  }
  state_->events->SysCommandEvent(kScClose);
}

void HeadlessDialog::ChooseSystemMenuItem(unsigned command) {
  state_->desktop->CheckTakesInput(*this, "open the system menu");
  if (!state_->dialog->Has(style::kSysMenu)) {
    throw HeadlessError(Format("dialog %d has no system menu", TemplateId()));
  }
  state_->events->SysCommandEvent(command);
}

void HeadlessDialog::TypeAddressField(int id, int field, const std::string& text) {
  state_->desktop->CheckTakesInput(*this, "type into the address control");
  auto it = state_->addresses.find(id);
  if (it == state_->addresses.end() || field < 0 || field > 3) {
    throw HeadlessError(
        Format("dialog %d has no address field %d of control %d", TemplateId(), field, id));
  }
  // The control takes up to three digits per field and clamps to 255, as the real one does.
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9' && digits.size() < 3) digits += c;
  }
  if (!digits.empty() && std::stoi(digits) > 255) digits = "255";
  it->second[static_cast<size_t>(field)] = digits;
}

void HeadlessDialog::FireTimer(unsigned id) {
  if (state_->ended || !TimerRunning(id)) return;
  state_->events->TimerEvent(id);
}

intptr_t HeadlessDialog::WatchedSocket(unsigned id) const {
  const auto found = state_->sockets.find(id);
  return found == state_->sockets.end() ? -1 : found->second;
}

void HeadlessDialog::SocketReadable(unsigned id) {
  if (state_->ended || WatchedSocket(id) < 0) return;
  state_->events->SocketEvent(id);
}

int HeadlessDialog::RunModal() {
  state_->desktop->Log(Format("init %d", TemplateId()));
  state_->events->InitDialogEvent();
  state_->desktop->RunUntil([this] { return state_->ended; },
                            Format("dialog %d \"%s\"", TemplateId(), Caption().c_str()));
  return state_->result;
}

void HeadlessDialog::End(int result) {
  if (state_->ended) return;
  state_->ended = true;
  state_->result = result;
  state_->timers.clear();
  state_->sockets.clear();
  state_->desktop->Log(Format("end %d %d", TemplateId(), result));
}

bool HeadlessDialog::Ended() const { return state_->ended; }

void HeadlessDialog::SetTimer(unsigned id, unsigned milliseconds) {
  if (!state_->ended) state_->timers[id] = milliseconds;
}

void HeadlessDialog::KillTimer(unsigned id) { state_->timers.erase(id); }

void HeadlessDialog::WatchSocket(unsigned id, intptr_t handle) {
  if (!state_->ended && handle >= 0) state_->sockets[id] = handle;
}

void HeadlessDialog::UnwatchSocket(unsigned id) { state_->sockets.erase(id); }

std::optional<Rect> HeadlessDialog::ControlRect(int id) const {
  const ControlTemplate* control = state_->dialog->Control(id);
  if (control == nullptr) return std::nullopt;
  return MapDialogRect(
      {control->x, control->y, control->x + control->width, control->y + control->height},
      kBaseWidth, kBaseHeight);
}

std::string HeadlessDialog::ControlText(int id) const {
  state_->RequireControl(id);
  auto it = state_->texts.find(id);
  return it == state_->texts.end() ? std::string() : it->second;
}

void HeadlessDialog::SetControlText(int id, const std::string& text, TextConversion conversion) {
  state_->RequireControl(id);
  const std::string& undefined = state_->desktop->unconvertibleBytes;
  std::string shown = text;
  for (char& c : shown) {
    if (undefined.find(c) == std::string::npos) continue;
    if (conversion == TextConversion::kStrict) {
      shown.clear();
      break;
    }
    c = '?';
  }
  state_->texts[id] = shown;
}

void HeadlessDialog::SetAddress(int id, uint32_t address) {
  auto& fields = state_->addresses.at(id);
  for (int i = 0; i < 4; ++i) {
    fields[static_cast<size_t>(i)] = std::to_string((address >> (24 - 8 * i)) & 0xFF);
  }
}

void HeadlessDialog::ClearAddress(int id) { state_->addresses.at(id) = {}; }

int HeadlessDialog::GetAddress(int id, uint32_t& address) const {
  const auto& fields = state_->addresses.at(id);
  address = 0;
  int filled = 0;
  for (size_t i = 0; i < 4; ++i) {
    uint32_t value = 0;
    if (!fields[i].empty()) {
      value = static_cast<uint32_t>(std::stoul(fields[i]));
      ++filled;
    }
    address = (address << 8) | value;
  }
  return filled;
}

void HeadlessDialog::SetProgressRange(int id, int low, int high) {
  auto& bar = state_->RequireProgress(id);
  bar.low = low;
  bar.high = high;
}

void HeadlessDialog::SetProgressPos(int id, int position) {
  state_->RequireProgress(id).position = position;
}

void HeadlessDialog::SetIcon(const IconImage& icon, bool big) {
  if (icon.pixels.empty()) return;
  (big ? state_->bigIcon : state_->smallIcon) = true;
}

void HeadlessDialog::AppendSystemMenuItem(const ui::MenuItem& item) {
  state_->systemMenu.push_back(item);
}

void HeadlessDialog::DefaultSysCommand(unsigned command) {
  if ((command & kScCommandMask) == kScMinimize) state_->minimized = true;
}

std::unique_ptr<ui::ListWindow> HeadlessDialog::CreateList(int id, const Rect& rect, uint32_t style,
                                                           ui::ListEvents& events) {
  if (state_->desktop->failListCreation || state_->lists.contains(id)) return nullptr;
  auto list = std::make_unique<HeadlessList>(*this, id, rect, style, events);
  state_->lists[id] = list.get();
  return list;
}

void HeadlessDialog::ListGone(int id) {
  state_->lists.erase(id);
  if (state_->focus == id) state_->focus = kIdcStatic;
}
HeadlessDesktop& HeadlessDialog::Desktop() const { return *state_->desktop; }

}  // namespace qor::headless
