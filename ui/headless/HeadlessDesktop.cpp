#include "ui/headless/HeadlessDesktop.h"

#include <algorithm>
#include <map>

#include "platform/Format.h"
#include "ui/headless/HeadlessDialog.h"

namespace qor::headless {

namespace {

// One thing waiting for the operator; the innermost is the last.
struct Layer {
  enum class Kind { kDialog, kMenu, kMessageBox, kFileDialog };
  explicit Layer(Kind k) : kind(k) {}
  Kind kind;
  HeadlessDialog* dialog = nullptr;
  const ShownMenu* menu = nullptr;
  const ShownMessageBox* messageBox = nullptr;
  const ui::OpenFileRequest* fileDialog = nullptr;
  bool answered = false;
  unsigned command = 0;
  int button = 0;
  std::optional<std::string> path;
};

}  // namespace

std::vector<unsigned> ShownMenu::EnabledCommands() const {
  std::vector<unsigned> commands;
  for (const auto& item : items) {
    if (!item.Separator() && !item.Grayed()) commands.push_back(item.id);
  }
  return commands;
}

const ui::MenuItem* ShownMenu::Find(unsigned command) const {
  auto it = std::find_if(items.begin(), items.end(), [command](const ui::MenuItem& item) {
    return !item.Separator() && item.id == command;
  });
  return it == items.end() ? nullptr : &*it;
}

std::vector<int> ShownMessageBox::Buttons() const {
  if ((type & kMbTypeMask) == kMbYesNo) return {kIdYes, kIdNo};
  return {kIdOk};
}

int ShownMessageBox::DefaultButton() const {
  const std::vector<int> buttons = Buttons();
  const size_t index = (type & kMbDefMask) / kMbDefButton2;
  // A default beyond the last button is the first, as on Windows.
  return index < buttons.size() ? buttons[index] : buttons.front();
}

struct HeadlessDesktop::State {
  std::deque<Action> actions;
  std::vector<Layer*> layers;
  std::vector<HeadlessDialog*> dialogs;
  std::vector<ShownMessageBox> messageBoxes;
  std::vector<ShownMenu> menus;
  std::vector<std::string> events;
  std::optional<uint32_t> commonControls;
  std::map<const HeadlessDialog*, std::unique_ptr<Layer>> dialogLayers;

  Layer* Top(Layer::Kind kind) const {
    if (layers.empty() || layers.back()->kind != kind) return nullptr;
    return layers.back();
  }
};

HeadlessDesktop::HeadlessDesktop() : state_(std::make_unique<State>()) {}
HeadlessDesktop::~HeadlessDesktop() = default;

HeadlessDesktop& HeadlessDesktop::Then(Action action) {
  state_->actions.push_back(std::move(action));
  return *this;
}

size_t HeadlessDesktop::PendingActions() const { return state_->actions.size(); }

std::vector<HeadlessDialog*> HeadlessDesktop::Dialogs() const { return state_->dialogs; }

HeadlessDialog& HeadlessDesktop::Dialog(int templateId) const {
  for (auto it = state_->dialogs.rbegin(); it != state_->dialogs.rend(); ++it) {
    if ((*it)->TemplateId() == templateId) return **it;
  }
  throw HeadlessError(Format("dialog %d is not open", templateId));
}

bool HeadlessDesktop::IsOpen(int templateId) const {
  return std::any_of(
      state_->dialogs.begin(), state_->dialogs.end(),
      [templateId](const HeadlessDialog* d) { return d->TemplateId() == templateId; });
}

const ShownMenu* HeadlessDesktop::Menu() const {
  const Layer* layer = state_->Top(Layer::Kind::kMenu);
  return layer != nullptr ? layer->menu : nullptr;
}

const ShownMessageBox* HeadlessDesktop::MessageBox() const {
  const Layer* layer = state_->Top(Layer::Kind::kMessageBox);
  return layer != nullptr ? layer->messageBox : nullptr;
}

const ui::OpenFileRequest* HeadlessDesktop::FileDialog() const {
  const Layer* layer = state_->Top(Layer::Kind::kFileDialog);
  return layer != nullptr ? layer->fileDialog : nullptr;
}

void HeadlessDesktop::ChooseMenuItem(unsigned command) {
  Layer* layer = state_->Top(Layer::Kind::kMenu);
  if (layer == nullptr) throw HeadlessError("no pop-up menu is open");
  const ui::MenuItem* item = layer->menu->Find(command);
  if (item == nullptr) throw HeadlessError(Format("the menu has no command %u", command));
  if (item->Grayed()) throw HeadlessError("the entry \"" + item->text + "\" is greyed");
  layer->command = command;
  layer->answered = true;
}

void HeadlessDesktop::DismissMenu() {
  Layer* layer = state_->Top(Layer::Kind::kMenu);
  if (layer == nullptr) throw HeadlessError("no pop-up menu is open");
  layer->command = 0;
  layer->answered = true;
}

void HeadlessDesktop::AnswerMessageBox(int button) {
  Layer* layer = state_->Top(Layer::Kind::kMessageBox);
  if (layer == nullptr) throw HeadlessError("no message box is open");
  const std::vector<int> buttons = layer->messageBox->Buttons();
  if (std::find(buttons.begin(), buttons.end(), button) == buttons.end()) {
    throw HeadlessError(Format("the message box has no button %d", button));
  }
  layer->button = button;
  layer->answered = true;
}

void HeadlessDesktop::PressEnterOnMessageBox() {
  const Layer* layer = state_->Top(Layer::Kind::kMessageBox);
  if (layer == nullptr) throw HeadlessError("no message box is open");
  AnswerMessageBox(layer->messageBox->DefaultButton());
}

void HeadlessDesktop::ChooseFile(const std::string& path) {
  Layer* layer = state_->Top(Layer::Kind::kFileDialog);
  if (layer == nullptr) throw HeadlessError("no file dialog is open");
  layer->path = path;
  layer->answered = true;
}

void HeadlessDesktop::CancelFileDialog() {
  Layer* layer = state_->Top(Layer::Kind::kFileDialog);
  if (layer == nullptr) throw HeadlessError("no file dialog is open");
  layer->answered = true;
}

void HeadlessDesktop::FireTimers() {
  const std::vector<HeadlessDialog*> dialogs = state_->dialogs;
  for (HeadlessDialog* dialog : dialogs) {
    // A timer handler may close dialogs; fire only those still open.
    if (std::find(state_->dialogs.begin(), state_->dialogs.end(), dialog) ==
        state_->dialogs.end()) {
      continue;
    }
    for (unsigned id : dialog->RunningTimers()) dialog->FireTimer(id);
  }
}

const std::vector<ShownMessageBox>& HeadlessDesktop::MessageBoxes() const {
  return state_->messageBoxes;
}
const std::vector<ShownMenu>& HeadlessDesktop::Menus() const { return state_->menus; }
const std::vector<std::string>& HeadlessDesktop::Events() const { return state_->events; }
void HeadlessDesktop::Log(const std::string& event) { state_->events.push_back(event); }

std::optional<uint32_t> HeadlessDesktop::CommonControlsClasses() const {
  return state_->commonControls;
}

bool HeadlessDesktop::InitCommonControls(uint32_t classes) {
  state_->commonControls = classes;
  Log(Format("common controls %#x", classes));
  return !failCommonControls;
}

std::unique_ptr<ui::DialogWindow> HeadlessDesktop::CreateDialogWindow(const DialogTemplate& dialog,
                                                                      ui::DialogWindow* owner,
                                                                      ui::DialogEvents& events) {
  return std::make_unique<HeadlessDialog>(*this, dialog, dynamic_cast<HeadlessDialog*>(owner),
                                          events);
}

unsigned HeadlessDesktop::TrackPopupMenu(const std::vector<ui::MenuItem>& items, Point screen,
                                         ui::Window* owner) {
  state_->menus.push_back({items, screen, owner});
  const ShownMenu shown = state_->menus.back();
  Layer layer(Layer::Kind::kMenu);
  layer.menu = &shown;
  Log("menu");
  state_->layers.push_back(&layer);
  try {
    RunUntil([&layer] { return layer.answered; }, "a pop-up menu");
  } catch (...) {
    state_->layers.pop_back();
    throw;
  }
  state_->layers.pop_back();
  Log(Format("menu choice %u", layer.command));
  return layer.command;
}

int HeadlessDesktop::ShowMessageBox(ui::DialogWindow* owner, const std::string& text,
                                    const std::string& caption, unsigned type) {
  auto* ownerDialog = dynamic_cast<HeadlessDialog*>(owner);
  const ShownMessageBox shown{caption, text, type,
                              ownerDialog != nullptr ? ownerDialog->TemplateId() : 0};
  state_->messageBoxes.push_back(shown);
  Layer layer(Layer::Kind::kMessageBox);
  layer.messageBox = &shown;
  Log("message box " + text);
  state_->layers.push_back(&layer);
  try {
    RunUntil([&layer] { return layer.answered; }, "the message box \"" + text + "\"");
  } catch (...) {
    state_->layers.pop_back();
    throw;
  }
  state_->layers.pop_back();
  return layer.button;
}

ui::OpenFileResult HeadlessDesktop::ShowOpenFileDialog(const ui::OpenFileRequest& request) {
  Layer layer(Layer::Kind::kFileDialog);
  layer.fileDialog = &request;
  Log("file dialog");
  state_->layers.push_back(&layer);
  try {
    RunUntil([&layer] { return layer.answered; }, "the file dialog");
  } catch (...) {
    state_->layers.pop_back();
    throw;
  }
  state_->layers.pop_back();
  ui::OpenFileResult result;
  if (layer.path) {
    result.chosen = true;
    result.path = *layer.path;
  }
  return result;
}

void HeadlessDesktop::RunUntil(const std::function<bool()>& done, const std::string& waitingFor) {
  while (!done()) {
    if (state_->actions.empty()) {
      throw HeadlessError("the operator has nothing left to do while " + waitingFor + " waits");
    }
    Action action = std::move(state_->actions.front());
    state_->actions.pop_front();
    action(*this);
  }
}

void HeadlessDesktop::Opened(HeadlessDialog& dialog) {
  state_->dialogs.push_back(&dialog);
  auto layer = std::make_unique<Layer>(Layer::Kind::kDialog);
  layer->dialog = &dialog;
  state_->layers.push_back(layer.get());
  state_->dialogLayers[&dialog] = std::move(layer);
}

void HeadlessDesktop::Closed(HeadlessDialog& dialog) {
  std::erase(state_->dialogs, &dialog);
  auto it = std::find_if(state_->layers.begin(), state_->layers.end(), [&dialog](Layer* layer) {
    return layer->kind == Layer::Kind::kDialog && layer->dialog == &dialog;
  });
  if (it != state_->layers.end()) state_->layers.erase(it);
  state_->dialogLayers.erase(&dialog);
}

void HeadlessDesktop::CheckTakesInput(const HeadlessDialog& dialog, const std::string& what) const {
  const Layer* top = state_->layers.empty() ? nullptr : state_->layers.back();
  if (top == nullptr || top->kind != Layer::Kind::kDialog || top->dialog != &dialog) {
    throw HeadlessError(Format("cannot %s: dialog %d is not the window taking input", what.c_str(),
                               dialog.TemplateId()));
  }
}

}  // namespace qor::headless
