#include "tests/ui/qt/QtAutomation.h"

#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <QTableWidget>
#include <QTextStream>
#include <QTimer>
#include <cstdio>

namespace qor::test {

namespace {

constexpr int kPollMs = 50;
constexpr int kTimeoutMs = 15000;

QRect ScreenArea();

[[noreturn]] void Fail(const QString& why) {
  std::fprintf(stderr, "qor-automation: %s\n", why.toLocal8Bit().constData());
  // What the screen showed, beside the plan, to see why.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = ScreenArea();
    if (!area.isEmpty()) {
      screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
          .save(qEnvironmentVariable("QOR_AUTOMATION") + QStringLiteral(".failed.png"), "PNG");
    }
  }
  std::fflush(stderr);
  ::_exit(3);
}

QDialog* FindDialog(int id) {
  const QString name = QStringLiteral("dialog%1").arg(id);
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == name && widget->isVisible()) return qobject_cast<QDialog*>(widget);
  }
  return nullptr;
}

QTableWidget* MainList() {
  QDialog* main = FindDialog(102);
  return main != nullptr ? main->findChild<QTableWidget*>(QStringLiteral("control1001")) : nullptr;
}

// Where keys go: an open pop-up, else the modal window, else the active one.
QWidget* InputWindow() {
  if (QWidget* popup = QApplication::activePopupWidget()) return popup;
  if (QWidget* modal = QApplication::activeModalWidget()) {
    return modal->focusWidget() != nullptr ? modal->focusWidget() : modal;
  }
  return QApplication::focusWidget();
}

void PostKey(QWidget* to, int key, const QString& text = QString()) {
  QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
  QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, text));
}

// The program's windows with a margin, within the screen.
QRect ScreenArea() {
  QRect area;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible()) area = area.united(widget->frameGeometry());
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr || area.isEmpty()) return {};
  return area.adjusted(-12, -12, 12, 12).intersected(screen->geometry());
}

void Shot(const QString& file) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = ScreenArea();
  if (screen == nullptr || area.isEmpty()) Fail(QStringLiteral("nothing to take a picture of"));
  const QPixmap picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  if (picture.isNull() || !picture.save(file, "PNG")) Fail(QStringLiteral("cannot write ") + file);
}

}  // namespace

struct QtAutomation::State {
  QStringList steps;
  int next = 0;
  int waited = 0;
  QTimer timer;

  void Schedule(int delayMs) { timer.start(delayMs); }

  void Run() {
    if (next >= steps.size()) return;
    const QString line = steps[next].trimmed();
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty() || words[0].startsWith(QLatin1Char('#'))) {
      Done(0);
      return;
    }
    const QString& step = words[0];
    const QString rest = line.section(QLatin1Char(' '), 1).trimmed();
    if (step == QLatin1String("sleep")) {
      Done(rest.toInt());
    } else if (step == QLatin1String("wait-rows")) {
      QTableWidget* list = MainList();
      Wait(list != nullptr && list->rowCount() >= rest.toInt(), line);
    } else if (step == QLatin1String("wait-dialog")) {
      Wait(FindDialog(rest.toInt()) != nullptr, line);
    } else if (step == QLatin1String("wait-popup")) {
      Wait(QApplication::activePopupWidget() != nullptr, line);
    } else if (step == QLatin1String("wait-text") && words.size() >= 4) {
      QDialog* dialog = FindDialog(words[1].toInt());
      auto* label = dialog != nullptr
                        ? dialog->findChild<QLabel*>(QStringLiteral("control%1").arg(words[2]))
                        : nullptr;
      const QRegularExpression pattern(line.section(QLatin1Char(' '), 3).trimmed());
      Wait(label != nullptr && pattern.match(label->text()).hasMatch(), line);
    } else if (step == QLatin1String("rclick-row")) {
      QTableWidget* list = MainList();
      const int row = rest.toInt();
      if (list == nullptr || row >= list->rowCount()) Fail(QStringLiteral("no row to click"));
      const QRect cell = list->visualItemRect(list->item(row, 0));
      const QPoint at = cell.center() + QPoint(cell.width() / 4, 0);
      QCoreApplication::postEvent(
          list->viewport(),
          new QContextMenuEvent(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at)));
      Done(0);
    } else if (step == QLatin1String("menu-choose")) {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) Fail(QStringLiteral("no menu is open"));
      for (QAction* action : menu->actions()) {
        if (QString(action->text()).remove(QLatin1Char('&')) == rest && action->isEnabled()) {
          menu->setActiveAction(action);
          PostKey(menu, Qt::Key_Return);
          Done(0);
          return;
        }
      }
      Fail(QStringLiteral("the menu has no entry ") + rest);
    } else if (step == QLatin1String("key")) {
      static const QMap<QString, int> keys = {{QStringLiteral("Escape"), Qt::Key_Escape},
                                              {QStringLiteral("Return"), Qt::Key_Return},
                                              {QStringLiteral("F1"), Qt::Key_F1},
                                              {QStringLiteral("Tab"), Qt::Key_Tab}};
      QWidget* to = InputWindow();
      if (to == nullptr || !keys.contains(rest)) Fail(QStringLiteral("cannot press ") + rest);
      PostKey(to, keys.value(rest));
      Done(0);
    } else if (step == QLatin1String("type")) {
      QWidget* to = InputWindow();
      if (to == nullptr) Fail(QStringLiteral("nowhere to type"));
      for (const QChar c : rest) PostKey(to, c.unicode(), QString(c));
      Done(0);
    } else if (step == QLatin1String("shot")) {
      Shot(rest);
      Done(0);
    } else {
      Fail(QStringLiteral("unknown step: ") + line);
    }
  }

  void Wait(bool satisfied, const QString& line) {
    if (satisfied) {
      Done(0);
      return;
    }
    waited += kPollMs;
    if (waited > kTimeoutMs) Fail(QStringLiteral("timed out: ") + line);
    Schedule(kPollMs);
  }

  void Done(int delayMs) {
    ++next;
    waited = 0;
    Schedule(delayMs);
  }
};

std::unique_ptr<QtAutomation> QtAutomation::FromEnvironment() {
  const QString path = qEnvironmentVariable("QOR_AUTOMATION");
  if (path.isEmpty()) return nullptr;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
    Fail(QStringLiteral("cannot read ") + path);
  QStringList steps;
  QTextStream in(&file);
  while (!in.atEnd()) steps << in.readLine();
  return std::make_unique<QtAutomation>(steps);
}

QtAutomation::QtAutomation(QStringList steps) : state_(std::make_unique<State>()) {
  state_->steps = std::move(steps);
  state_->timer.setSingleShot(true);
  QObject::connect(&state_->timer, &QTimer::timeout, [this] { state_->Run(); });
  state_->Schedule(0);
}

QtAutomation::~QtAutomation() = default;

}  // namespace qor::test
