#include "ui/qt/QtAddressEdit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace qor::qt {

QtAddressEdit::QtAddressEdit(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  setFocusPolicy(Qt::StrongFocus);
  auto* validator =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
  for (int i = 0; i < 4; ++i) {
    auto* field = new QLineEdit(this);
    field->setFrame(false);
    field->setAlignment(Qt::AlignCenter);
    field->setMaxLength(3);
    field->setValidator(validator);
    field->setAccessibleName(QStringLiteral("Field %1").arg(i + 1));
    field->installEventFilter(this);
    connect(field, &QLineEdit::textEdited, this, [this, i](const QString& text) {
      if (text.size() == 3) {
        Clamp(i);
        if (i < 3) {
          fields_[i + 1]->setFocus();
          fields_[i + 1]->selectAll();
        }
      }
    });
    connect(field, &QLineEdit::editingFinished, this, [this, i] { Clamp(i); });
    fields_[i] = field;
    if (i < 3) {
      auto* dot = new QLabel(QStringLiteral("."), this);
      dot->setAlignment(Qt::AlignCenter);
      dots_[i] = dot;
    }
  }
  setFocusProxy(fields_[0]);
}

// The fields outlive this part of the object while QWidget destroys its children, and losing
// focus then would still reach Clamp.
QtAddressEdit::~QtAddressEdit() {
  for (QLineEdit* field : fields_) {
    field->removeEventFilter(this);
    field->disconnect(this);
  }
}

void QtAddressEdit::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  // Four equal fields with a narrow dot between each pair.
  const QRect area = contentsRect();
  const int dotWidth = fontMetrics().horizontalAdvance(QLatin1Char('.')) + 2;
  const int fieldWidth = (area.width() - 3 * dotWidth) / 4;
  int x = area.left();
  for (int i = 0; i < 4; ++i) {
    fields_[i]->setGeometry(x, area.top(), fieldWidth, area.height());
    x += fieldWidth;
    if (i < 3) {
      dots_[i]->setGeometry(x, area.top(), dotWidth, area.height());
      x += dotWidth;
    }
  }
}

bool QtAddressEdit::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
  int index = -1;
  for (int i = 0; i < 4; ++i) {
    if (fields_[i] == watched) index = i;
  }
  if (index < 0) return QFrame::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  QLineEdit* field = fields_[index];
  const bool atStart = field->cursorPosition() == 0 && !field->hasSelectedText();
  const bool atEnd = field->cursorPosition() == field->text().size();
  if ((key->text() == QLatin1String(".") || key->key() == Qt::Key_Space) && index < 3) {
    if (!field->text().isEmpty()) {
      Clamp(index);
      fields_[index + 1]->setFocus();
      fields_[index + 1]->selectAll();
    }
    return true;
  }
  if (key->key() == Qt::Key_Right && atEnd && index < 3) {
    fields_[index + 1]->setFocus();
    fields_[index + 1]->setCursorPosition(0);
    return true;
  }
  if ((key->key() == Qt::Key_Left || key->key() == Qt::Key_Backspace) && atStart && index > 0) {
    fields_[index - 1]->setFocus();
    fields_[index - 1]->setCursorPosition(fields_[index - 1]->text().size());
    return true;
  }
  return QFrame::eventFilter(watched, event);
}

void QtAddressEdit::Clamp(int index) {
  QLineEdit* field = fields_[index];
  if (!field->text().isEmpty() && field->text().toInt() > 255)
    field->setText(QStringLiteral("255"));
}

void QtAddressEdit::SetAddress(uint32_t address) {
  for (int i = 0; i < 4; ++i) {
    fields_[i]->setText(QString::number((address >> (24 - 8 * i)) & 0xFF));
  }
}

void QtAddressEdit::Clear() {
  for (QLineEdit* field : fields_) field->clear();
}

int QtAddressEdit::Address(uint32_t& address) const {
  address = 0;
  int filled = 0;
  for (QLineEdit* field : fields_) {
    uint32_t value = 0;
    if (!field->text().isEmpty()) {
      value = std::min(field->text().toUInt(), 255u);
      ++filled;
    }
    address = (address << 8) | value;
  }
  return filled;
}

QLineEdit* QtAddressEdit::Field(int index) const { return fields_.at(static_cast<size_t>(index)); }

}  // namespace qor::qt
