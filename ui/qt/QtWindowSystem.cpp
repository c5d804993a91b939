#include "ui/qt/QtWindowSystem.h"

#include <QApplication>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QTableWidget>

#include "ui/qt/QtDialogWindow.h"
#include "ui/qt/QtListWindow.h"
#include "ui/qt/QtText.h"

namespace qor::qt {

namespace {

QWidget* OwnerWidget(ui::Window* owner) {
  if (auto* dialog = dynamic_cast<QtDialogWindow*>(owner)) return dialog->Widget();
  if (auto* list = dynamic_cast<QtListWindow*>(owner)) return list->Widget();
  return nullptr;
}

QMessageBox::Icon BoxIcon(unsigned type) {
  switch (type & kMbIconMask) {
    case kMbIconError:
      return QMessageBox::Critical;
    case kMbIconExclamation:
      return QMessageBox::Warning;
    case kMbIconQuestion:
      return QMessageBox::Question;
    case 0x40:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

// "*.*" means every file on Windows; here a name need not have a dot.
QString FilterPattern(const std::string& pattern) {
  return pattern == "*.*" ? QStringLiteral("*") : ToQt(pattern);
}

}  // namespace

struct QtWindowSystem::State {
  std::unique_ptr<QApplication> application;
};

QtWindowSystem::QtWindowSystem(int& argc, char** argv) : state_(std::make_unique<State>()) {
  state_->application = std::make_unique<QApplication>(argc, argv);
  // Dialogs come and go one after another; the program decides when it ends.
  QApplication::setQuitOnLastWindowClosed(false);
}

QtWindowSystem::~QtWindowSystem() = default;

bool QtWindowSystem::InitCommonControls(uint32_t) { return true; }

std::unique_ptr<ui::DialogWindow> QtWindowSystem::CreateDialogWindow(const DialogTemplate& dialog,
                                                                     ui::DialogWindow* owner,
                                                                     ui::DialogEvents& events) {
  return std::make_unique<QtDialogWindow>(dialog, dynamic_cast<QtDialogWindow*>(owner), events);
}

unsigned QtWindowSystem::TrackPopupMenu(const std::vector<ui::MenuItem>& items, Point screen,
                                        ui::Window* owner) {
  QMenu menu(OwnerWidget(owner));
  menu.setObjectName(QStringLiteral("popupMenu"));
  for (const auto& item : items) {
    if (item.Separator()) {
      menu.addSeparator();
      continue;
    }
    QAction* action = menu.addAction(ToQt(item.text));
    action->setData(item.id);
    action->setEnabled(!item.Grayed());
  }
  const QAction* chosen = menu.exec(QPoint(screen.x, screen.y));
  return chosen != nullptr ? chosen->data().toUInt() : 0;
}

int QtWindowSystem::ShowMessageBox(ui::DialogWindow* owner, const std::string& text,
                                   const std::string& caption, unsigned type) {
  const bool yesNo = (type & kMbTypeMask) == kMbYesNo;
  QMessageBox box(BoxIcon(type), ToQt(caption), ToQt(text),
                  yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, OwnerWidget(owner));
  box.setObjectName(QStringLiteral("messageBox"));
  box.setTextFormat(Qt::PlainText);
  if (yesNo) {
    box.setDefaultButton((type & kMbDefMask) == kMbDefButton2 ? QMessageBox::No : QMessageBox::Yes);
    // Escape and the close box say No; on Windows such a box has neither.
    box.setEscapeButton(QMessageBox::No);
  }
  const int pressed = box.exec();
  if (!yesNo) return kIdOk;
  return pressed == QMessageBox::Yes ? kIdYes : kIdNo;
}

ui::OpenFileResult QtWindowSystem::ShowOpenFileDialog(const ui::OpenFileRequest& request) {
  QFileDialog dialog(OwnerWidget(request.owner), ToQt(request.title),
                     ToQt(request.initialDirectory));
  dialog.setObjectName(QStringLiteral("openFileDialog"));
  // Our own dialog: the same on every desktop, and it needs no portal service.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  QStringList filters;
  for (const auto& filter : request.filters) {
    filters << ToQt(filter.description) + QStringLiteral(" (") + FilterPattern(filter.pattern) +
                   QStringLiteral(")");
  }
  dialog.setNameFilters(filters);
  if (request.filterIndex >= 1 && request.filterIndex <= filters.size()) {
    dialog.selectNameFilter(filters[request.filterIndex - 1]);
  }
  dialog.setDefaultSuffix(ToQt(request.defaultExtension));

  ui::OpenFileResult result;
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return result;
  result.chosen = true;
  result.path = FromQt(dialog.selectedFiles().constFirst());
  return result;
}

}  // namespace qor::qt
