#include "ui/qt/QtDialogWindow.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTableWidget>
#include <QTimerEvent>
#include <map>

#include "ui/qt/QtAddressEdit.h"
#include "ui/qt/QtListWindow.h"
#include "ui/qt/QtText.h"

namespace qor::qt {

QPixmap IconPixmap(const IconImage& icon) {
  QImage image(icon.width, icon.height, QImage::Format_ARGB32);
  for (int y = 0; y < icon.height; ++y) {
    for (int x = 0; x < icon.width; ++x) {
      image.setPixel(x, y, icon.pixels[static_cast<size_t>(y * icon.width + x)]);
    }
  }
  return QPixmap::fromImage(image);
}

struct QtDialogWindow::State {
  const DialogTemplate* dialog = nullptr;
  ui::DialogEvents* events = nullptr;
  QPointer<QDialog> widget;
  std::map<int, QWidget*> controls;
  std::map<unsigned, int> timers;  // our id -> Qt's
  std::map<unsigned, std::unique_ptr<QSocketNotifier>> sockets;
  std::vector<ui::MenuItem> systemMenu;
  QIcon icon;
  int baseWidth = 6;
  int baseHeight = 13;
  bool ended = false;
  int result = kIdCancel;
};

namespace {
// Each control widget carries its id, so a key can name the control that has the focus.
constexpr const char* kControlId = "qorControlId";
}  // namespace

// The Qt dialog: hands keys, buttons, timers and the close box to the window's events as they
// come; the dialog behind it decides what they mean.
class QtDialogWindow::Form final : public QDialog {
 public:
  Form(QtDialogWindow& window, QWidget* parent, Qt::WindowFlags flags)
      : QDialog(parent, flags), window_(window) {}

  void Command(int id) {
    if (!window_.state_->ended) window_.state_->events->CommandEvent(id);
  }

  void Key(ui::DialogKey key) {
    if (!window_.state_->ended) window_.state_->events->KeyEvent(key, FocusedControl());
  }

  // The control that holds the focus, or the one a focused part (a field of the address
  // control) belongs to.
  [[nodiscard]] int FocusedControl() const {
    for (const QWidget* widget = focusWidget(); widget != nullptr && widget != this;
         widget = widget->parentWidget()) {
      const QVariant id = widget->property(kControlId);
      if (id.isValid()) return id.toInt();
    }
    return kIdcStatic;
  }

  // The widget of one control of the template, not yet placed.
  QWidget* NewControl(const ControlTemplate& control) {
    switch (control.kind) {
      case ControlKind::kStatic: {
        auto* label = new QLabel(ToQt(control.text), this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        return label;
      }
      case ControlKind::kIcon: {
        auto* label = new QLabel(this);
        const IconImage& icon = LoadIconResource(std::stoi(control.text));
        if (!icon.pixels.empty()) label->setPixmap(IconPixmap(icon));
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
      }
      case ControlKind::kFrame: {
        auto* frame = new QFrame(this);
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        return frame;
      }
      case ControlKind::kPushButton: {
        auto* button = new QPushButton(ToQt(control.text), this);
        // Drawn as the template says; Enter on it goes to the dialog all the same.
        button->setAutoDefault(false);
        button->setDefault((control.style & style::kDefPushButton) != 0);
        button->installEventFilter(this);
        const int id = control.id;
        connect(button, &QPushButton::clicked, this, [this, id] { Command(id); });
        return button;
      }
      case ControlKind::kIpAddress:
        return new QtAddressEdit(this);
      case ControlKind::kProgress: {
        // Plain, as the standard progress control: no percentage text of its own.
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
      }
    }
    return new QWidget(this);  // no such kind in any template
  }

  // A push button would take Enter itself when it is the default one: the dialog decides.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        Key(ui::DialogKey::kEnter);
        return true;
      }
    }
    return QDialog::eventFilter(watched, event);
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    State& state = *window_.state_;
    switch (event->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        Key(ui::DialogKey::kEnter);
        return;
      case Qt::Key_Escape:
        Key(ui::DialogKey::kEscape);
        return;
      case Qt::Key_F1:
        for (const auto& item : state.systemMenu) {
          if (!item.Separator() && !item.Grayed()) {
            if (!state.ended) state.events->SysCommandEvent(item.id);
            return;
          }
        }
        break;
      default:
        break;
    }
    QDialog::keyPressEvent(event);
  }

  void contextMenuEvent(QContextMenuEvent* event) override {
    State& state = *window_.state_;
    if (!state.dialog->Has(style::kSysMenu)) return;
    // What the system menu would offer: the window commands and the entries the program added.
    QMenu menu(this);
    if (state.dialog->Has(style::kMinimizeBox)) {
      menu.addAction(QStringLiteral("Mi&nimize"))->setData(kScMinimize);
      menu.addSeparator();
    }
    menu.addAction(QStringLiteral("&Close"))->setData(kScClose);
    bool helpKeyShown = false;
    for (const auto& item : state.systemMenu) {
      if (item.Separator()) {
        menu.addSeparator();
      } else {
        QAction* action = menu.addAction(ToQt(item.text));
        action->setData(item.id);
        action->setEnabled(!item.Grayed());
        if (!helpKeyShown && action->isEnabled()) {
          action->setShortcut(QKeySequence(Qt::Key_F1));  // shown as a hint; F1 is handled above
          helpKeyShown = true;
        }
      }
    }
    const QAction* chosen = menu.exec(event->globalPos());
    if (chosen != nullptr && !state.ended) state.events->SysCommandEvent(chosen->data().toUInt());
  }

  void closeEvent(QCloseEvent* event) override {
    if (window_.state_->ended) {
      QDialog::closeEvent(event);
      return;
    }
    // The close box is the system menu's Close.
    event->ignore();
    window_.state_->events->SysCommandEvent(kScClose);
  }

  void reject() override {
    if (window_.state_->ended) {
      QDialog::reject();
    } else {
      Command(kIdCancel);
    }
  }

  void accept() override {
    if (window_.state_->ended) {
      QDialog::accept();
    } else {
      Command(kIdOk);
    }
  }

  void timerEvent(QTimerEvent* event) override {
    State& state = *window_.state_;
    for (const auto& [id, qtId] : state.timers) {
      if (qtId == event->timerId()) {
        if (!state.ended) state.events->TimerEvent(id);
        return;
      }
    }
    QDialog::timerEvent(event);
  }

 private:
  QtDialogWindow& window_;
};

QtDialogWindow::QtDialogWindow(const DialogTemplate& dialog, QtDialogWindow* owner,
                               ui::DialogEvents& events)
    : state_(std::make_unique<State>()) {
  state_->dialog = &dialog;
  state_->events = &events;

  Qt::WindowFlags flags = owner != nullptr ? Qt::Dialog : Qt::Window;
  flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (dialog.Has(style::kSysMenu)) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (dialog.Has(style::kMinimizeBox)) flags |= Qt::WindowMinimizeButtonHint;
  auto* form = new Form(*this, owner != nullptr ? owner->Widget() : nullptr, flags);
  state_->widget = form;
  form->setObjectName(QStringLiteral("dialog%1").arg(dialog.id));
  form->setWindowTitle(ToQt(dialog.caption));
  form->setAttribute(Qt::WA_DeleteOnClose, false);

  QFont font(ToQt(dialog.fontName));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(dialog.pointSize);
  form->setFont(font);
  // The dialog base units, as the platform derives them from the dialog font.
  const QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  state_->baseWidth = std::max(1, (alphabet / 26 + 1) / 2);
  state_->baseHeight = std::max(1, metrics.height());

  const Rect client =
      MapDialogRect({0, 0, dialog.width, dialog.height}, state_->baseWidth, state_->baseHeight);
  form->setFixedSize(client.Width(), client.Height());

  for (const auto& control : dialog.controls) {
    const Rect rect =
        MapDialogRect({control.x, control.y, control.x + control.width, control.y + control.height},
                      state_->baseWidth, state_->baseHeight);
    QWidget* widget = form->NewControl(control);
    widget->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
    widget->setVisible((control.style & style::kVisible) != 0);
    if (control.id != kIdcStatic) {
      widget->setObjectName(QStringLiteral("control%1").arg(control.id));
      widget->setProperty(kControlId, control.id);
      state_->controls[control.id] = widget;
    }
  }
}

QtDialogWindow::~QtDialogWindow() {
  state_->sockets.clear();
  for (const auto& [id, qtId] : state_->timers) {
    if (state_->widget) state_->widget->killTimer(qtId);
  }
  delete state_->widget.data();
}

QDialog* QtDialogWindow::Widget() const { return state_->widget; }

QWidget* QtDialogWindow::Control(int id) const {
  auto it = state_->controls.find(id);
  return it == state_->controls.end() ? nullptr : it->second;
}

QtAddressEdit* QtDialogWindow::AddressEdit(int id) const {
  return dynamic_cast<QtAddressEdit*>(Control(id));
}

int QtDialogWindow::BaseWidth() const { return state_->baseWidth; }
int QtDialogWindow::BaseHeight() const { return state_->baseHeight; }
const std::vector<ui::MenuItem>& QtDialogWindow::SystemMenuItems() const {
  return state_->systemMenu;
}

int QtDialogWindow::RunModal() {
  state_->events->InitDialogEvent();
  if (!state_->ended && state_->widget) {
    state_->widget->exec();
    // The event loop can also end without us (the application quitting): that is a cancel.
    state_->ended = true;
  }
  return state_->result;
}

void QtDialogWindow::End(int result) {
  if (state_->ended) return;
  state_->ended = true;
  state_->result = result;
  for (const auto& [id, qtId] : state_->timers) state_->widget->killTimer(qtId);
  state_->timers.clear();
  while (!state_->sockets.empty()) UnwatchSocket(state_->sockets.begin()->first);
  if (state_->widget) state_->widget->done(result);
}

bool QtDialogWindow::Ended() const { return state_->ended; }

void QtDialogWindow::SetTimer(unsigned id, unsigned milliseconds) {
  if (state_->ended || !state_->widget) return;
  KillTimer(id);
  state_->timers[id] = state_->widget->startTimer(static_cast<int>(milliseconds), Qt::PreciseTimer);
}

void QtDialogWindow::KillTimer(unsigned id) {
  auto it = state_->timers.find(id);
  if (it == state_->timers.end()) return;
  if (state_->widget) state_->widget->killTimer(it->second);
  state_->timers.erase(it);
}

void QtDialogWindow::WatchSocket(unsigned id, intptr_t handle) {
  if (state_->ended || !state_->widget || handle < 0) return;
  auto notifier =
      std::make_unique<QSocketNotifier>(static_cast<qintptr>(handle), QSocketNotifier::Read);
  State* state = state_.get();
  QObject::connect(notifier.get(), &QSocketNotifier::activated, state_->widget, [state, id] {
    if (!state->ended) state->events->SocketEvent(id);
  });
  state_->sockets[id] = std::move(notifier);
}

void QtDialogWindow::UnwatchSocket(unsigned id) {
  const auto found = state_->sockets.find(id);
  if (found == state_->sockets.end()) return;
  // The notifier may be the one whose signal is being handled: let the event loop delete it.
  found->second->setEnabled(false);
  found->second.release()->deleteLater();
  state_->sockets.erase(found);
}

std::optional<Rect> QtDialogWindow::ControlRect(int id) const {
  const ControlTemplate* control = state_->dialog->Control(id);
  if (control == nullptr) return std::nullopt;
  return MapDialogRect(
      {control->x, control->y, control->x + control->width, control->y + control->height},
      state_->baseWidth, state_->baseHeight);
}

std::string QtDialogWindow::ControlText(int id) const {
  QWidget* widget = Control(id);
  if (auto* label = qobject_cast<QLabel*>(widget)) return FromQt(label->text());
  if (auto* button = qobject_cast<QPushButton*>(widget)) return FromQt(button->text());
  return {};
}

void QtDialogWindow::SetControlText(int id, const std::string& text, TextConversion conversion) {
  QWidget* widget = Control(id);
  if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(ToQt(text, conversion));
  if (auto* button = qobject_cast<QPushButton*>(widget)) button->setText(ToQt(text, conversion));
}

void QtDialogWindow::SetAddress(int id, uint32_t address) {
  if (QtAddressEdit* edit = AddressEdit(id)) edit->SetAddress(address);
}

void QtDialogWindow::ClearAddress(int id) {
  if (QtAddressEdit* edit = AddressEdit(id)) edit->Clear();
}

int QtDialogWindow::GetAddress(int id, uint32_t& address) const {
  address = 0;
  QtAddressEdit* edit = AddressEdit(id);
  return edit != nullptr ? edit->Address(address) : 0;
}

void QtDialogWindow::SetProgressRange(int id, int low, int high) {
  if (auto* bar = qobject_cast<QProgressBar*>(Control(id))) bar->setRange(low, high);
}

void QtDialogWindow::SetProgressPos(int id, int position) {
  if (auto* bar = qobject_cast<QProgressBar*>(Control(id))) bar->setValue(position);
}

void QtDialogWindow::SetIcon(const IconImage& icon, bool) {
  if (icon.pixels.empty() || !state_->widget) return;
  state_->icon.addPixmap(IconPixmap(icon));
  state_->widget->setWindowIcon(state_->icon);
}

void QtDialogWindow::AppendSystemMenuItem(const ui::MenuItem& item) {
  state_->systemMenu.push_back(item);
}

void QtDialogWindow::DefaultSysCommand(unsigned command) {
  if ((command & kScCommandMask) == kScMinimize && state_->widget) state_->widget->showMinimized();
}

std::unique_ptr<ui::ListWindow> QtDialogWindow::CreateList(int id, const Rect& rect, uint32_t style,
                                                           ui::ListEvents& events) {
  if (!state_->widget) return nullptr;
  auto list = std::make_unique<QtListWindow>(state_->widget, id, rect, style, events);
  list->Widget()->setProperty(kControlId, id);
  // Above the placeholder it replaces.
  list->Widget()->raise();
  return list;
}

}  // namespace qor::qt
