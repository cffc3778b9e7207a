#include "ui/AboutFormUnit.h"

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "platform/VersionInfo.h"
#include "ui/UiCommon.h"

// --- TUrlLabel ---

TUrlLabel::TUrlLabel(QWidget* parent) : QLabel(parent) {
  QFont linkFont = parent != nullptr ? parent->font() : font();
  linkFont.setPointSize(10);
  linkFont.setBold(true);
  linkFont.setUnderline(true);
  setFont(linkFont);
  setTextFormat(Qt::PlainText);
  ShowColor(NormalColor);
}

void TUrlLabel::ShowColor(const QColor& colour) {
  FCurrentColor = colour;
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, colour);
  setPalette(colours);
}

void TUrlLabel::enterEvent(QEnterEvent* event) {
  ShowColor(HoverColor);
  setCursor(Qt::PointingHandCursor);
  QLabel::enterEvent(event);
}

void TUrlLabel::leaveEvent(QEvent* event) {
  ShowColor(NormalColor);
  unsetCursor();
  QLabel::leaveEvent(event);
}

void TUrlLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QLabel::mousePressEvent(event);
  if (OnClick)
    OnClick();
  else if (!Url.empty())
    OpenWithAssociatedProgram(Url);
}

// --- TUrlButton ---

TUrlButton::TUrlButton(QWidget* parent)
    : QWidget(parent),
      NormalColor(QApplication::palette().color(QPalette::Button)),
      HoverColor(QApplication::palette().color(QPalette::Base)),
      FCurrentColor(NormalColor) {
  resize(100, 25);
}

void TUrlButton::SetNormalColor(const QColor& colour) {
  NormalColor = colour;
  FCurrentColor = colour;
  update();
}

void TUrlButton::enterEvent(QEnterEvent* event) {
  FCurrentColor = HoverColor;
  setCursor(Qt::PointingHandCursor);
  update();
  QWidget::enterEvent(event);
}

void TUrlButton::leaveEvent(QEvent* event) {
  FCurrentColor = NormalColor;
  unsetCursor();
  update();
  QWidget::leaveEvent(event);
}

void TUrlButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  if (OnClick)
    OnClick();
  else if (!Url.empty())
    OpenWithAssociatedProgram(Url);
}

void TUrlButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), FCurrentColor);
  painter.setPen(QColor(128, 128, 128));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  // The caption in the default font of a fresh drawing surface, centred by its metrics.
  painter.setFont(QFont());
  painter.setPen(QApplication::palette().color(QPalette::ButtonText));
  const QFontMetrics metrics(painter.font());
  const int x = width() / 2 - metrics.horizontalAdvance(Caption) / 2;
  const int y = height() / 2 - metrics.height() / 2;
  painter.drawText(QRect(x, y, metrics.horizontalAdvance(Caption), metrics.height()), Qt::AlignLeft | Qt::AlignTop,
                   Caption);
}

// --- TAboutBox ---

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);
  setFont(ProgramFont());
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, QColor(225, 225, 225));
  setPalette(colours);
  setFixedSize(298, 213);

  Panel = new QFrame(this);
  Panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel->setLineWidth(2);
  Panel->setGeometry(9, 8, 281, 161);

  ProgramIcon = new QLabel(Panel);
  ProgramIcon->setGeometry(8, 8, 50, 50);
  ProgramIcon->setAlignment(Qt::AlignCenter);
  ProgramIcon->setPixmap(::ProgramIcon().pixmap(48, 48));

  ProductName = new QLabel(QString::fromLatin1(ProgramTitle), Panel);
  ProductName->setGeometry(68, 8, 205, 34);
  ProductName->setFont(ProductNameFont(24));
  ProductName->setWordWrap(true);
  QPalette blue = ProductName->palette();
  blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
  ProductName->setPalette(blue);

  Version = new QLabel(Panel);
  Version->setGeometry(68, 44, 205, 17);

  Copyright = new QLabel(QString::fromUtf8(CopyrightLine), Panel);
  Copyright->setGeometry(8, 78, 265, 2 * fontMetrics().lineSpacing() + 2);
  Copyright->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Copyright->setWordWrap(true);

  FormCreate();
}

void TAboutBox::FormCreate() {
  TEPInfoExe info;
  info.ExeName = ExecutableName();
  info.LangId = "0C09";
  info.ReadInfo();
  Version->setText(QStringLiteral("Version ") + ToQ(info.FileVersion()));

  HomePage = new TUrlLabel(Panel);
  HomePage->setAlignment(Qt::AlignCenter);
  HomePage->setGeometry(8, 130, 265, 17);
  HomePage->setText(QString::fromLatin1(HomePageAddress));
  HomePage->Url = HomePageAddress;

  OkButton = new TUrlButton(this);
  OkButton->SetNormalColor(palette().color(QPalette::Window));
  OkButton->setGeometry(99, 178, 100, 25);
  OkButton->Caption = QStringLiteral("OK");
  OkButton->OnClick = [this] { OkButtonClick(); };
}

void TAboutBox::OkButtonClick() { accept(); }

void TAboutBox::keyPressEvent(QKeyEvent* event) {
  // The painted OK button takes no focus, so Enter closes the box as a default button would.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return OkButtonClick();
  QDialog::keyPressEvent(event);
}
