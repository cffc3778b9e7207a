#pragma once
// TAboutBox: the modal About dialog with the product name, the version read from the
// executable's version block, a copyright line and a link to the maker's home page; and its
// two small controls, TUrlLabel and TUrlButton, which change colour under the pointer and act
// on the press of the left button (not on its release). Main thread only.

#include <QColor>
#include <QDialog>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <string>

class QFrame;

class TUrlLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TUrlLabel(QWidget* parent = nullptr);

  std::string Url;
  QColor NormalColor{0, 0, 128};  // navy
  QColor HoverColor{0, 0, 255};   // blue
  std::function<void()> OnClick;  // takes the place of opening Url

  QColor CurrentColor() const { return FCurrentColor; }

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void ShowColor(const QColor& colour);
  QColor FCurrentColor;
};

class TUrlButton : public QWidget {
  Q_OBJECT

 public:
  explicit TUrlButton(QWidget* parent = nullptr);

  std::string Url;
  QString Caption;
  QColor NormalColor;  // the system's button face colour until the creator sets another
  QColor HoverColor;   // the system's window colour
  std::function<void()> OnClick;

  QColor CurrentColor() const { return FCurrentColor; }
  // Takes a new NormalColor and shows it.
  void SetNormalColor(const QColor& colour);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor FCurrentColor;
};

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  QFrame* Panel = nullptr;
  QLabel* ProgramIcon = nullptr;
  QLabel* ProductName = nullptr;
  QLabel* Version = nullptr;
  QLabel* Copyright = nullptr;
  TUrlLabel* HomePage = nullptr;
  TUrlButton* OkButton = nullptr;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FormCreate();
  void OkButtonClick();
};
