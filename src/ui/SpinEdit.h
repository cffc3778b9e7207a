#pragma once
// TSpinEdit: a whole-number edit with spin buttons and no range. Any 32-bit integer is
// accepted; the arrow keys, the buttons and the wheel step by 1. Typing is limited to the
// digits, "+", "-", the locale's decimal separator and control keys; anything else is
// refused with a beep. A text that is not a whole number reads as 0, so a pasted word or a
// decimal number gives 0 rather than an error. Main thread only.

#include <QAbstractSpinBox>
#include <cstdint>

class TSpinEdit : public QAbstractSpinBox {
  Q_OBJECT

 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  int32_t Value() const;
  // Sets the value without raising ValueEdited: only the user's own edits raise it.
  void SetValue(int32_t value);
  // The text as typed (what Value() interprets).
  QString Text() const;

  void stepBy(int steps) override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // The user changed the value: typed, pasted, stepped with a key, a button or the wheel.
  void ValueEdited();

 protected:
  StepEnabled stepEnabled() const override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  static bool IsTypeable(QChar character);
};
