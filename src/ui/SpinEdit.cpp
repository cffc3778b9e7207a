#include "ui/SpinEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <algorithm>
#include <limits>

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  lineEdit()->setText(QStringLiteral("0"));
  connect(lineEdit(), &QLineEdit::textEdited, this, &TSpinEdit::ValueEdited);
}

int32_t TSpinEdit::Value() const {
  bool ok = false;
  const int value = lineEdit()->text().trimmed().toInt(&ok, 10);
  return ok ? static_cast<int32_t>(value) : 0;
}

void TSpinEdit::SetValue(int32_t value) { lineEdit()->setText(QString::number(value)); }

QString TSpinEdit::Text() const { return lineEdit()->text(); }

void TSpinEdit::stepBy(int steps) {
  // Saturates at the ends of the 32-bit range instead of wrapping round to the other end.
  const int64_t next = static_cast<int64_t>(Value()) + steps;
  const int64_t clamped =
      std::clamp<int64_t>(next, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  SetValue(static_cast<int32_t>(clamped));
  lineEdit()->selectAll();
  emit ValueEdited();
}

QSize TSpinEdit::sizeHint() const {
  // Room for a seven-digit number besides the spin buttons and a little margin.
  QSize size = QAbstractSpinBox::sizeHint();
  const int text = fontMetrics().horizontalAdvance(QStringLiteral("-0000000"));
  size.setWidth(std::max(size.width(), text + 34));
  return size;
}

QSize TSpinEdit::minimumSizeHint() const { return sizeHint(); }

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
  if (isReadOnly()) return StepNone;
  return StepUpEnabled | StepDownEnabled;
}

bool TSpinEdit::IsTypeable(QChar character) {
  if (character.isDigit() && character.unicode() < 128) return true;
  if (character == u'+' || character == u'-') return true;
  return QLocale().decimalPoint() == QString(character);
}

void TSpinEdit::keyPressEvent(QKeyEvent* event) {
  const QString typed = event->text();
  const bool printable = !typed.isEmpty() && typed.at(0).unicode() >= 0x20 &&
                         !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
  if (printable && !IsTypeable(typed.at(0))) {
    QApplication::beep();
    event->accept();
    return;
  }
  QAbstractSpinBox::keyPressEvent(event);
}
