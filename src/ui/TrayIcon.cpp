#include "ui/TrayIcon.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QWidget>
#include <QWindowStateChangeEvent>

#include "ui/UiCommon.h"

namespace {
std::function<TNotificationArea()> notificationAreaProbe;
}  // namespace

void TTrayIcon::SetNotificationAreaProbe(std::function<TNotificationArea()> probe) {
  notificationAreaProbe = std::move(probe);
}

TNotificationArea TTrayIcon::DetectNotificationArea() {
  if (notificationAreaProbe) return notificationAreaProbe();
  if (IsHeadless()) return TNotificationArea::Headless;
  return QSystemTrayIcon::isSystemTrayAvailable() ? TNotificationArea::Present : TNotificationArea::Missing;
}

TTrayIcon::TTrayIcon(QWidget* owner) : QObject(owner), FOwner(owner) {
  const TNotificationArea area = DetectNotificationArea();
  if (area == TNotificationArea::Missing) throw EOutOfResources("Cannot create shell notification icon");

  FIcon = QApplication::windowIcon().isNull() ? ProgramIcon() : QApplication::windowIcon();
  FTip = CutTip(FromQ(QGuiApplication::applicationDisplayName()));
  if (area == TNotificationArea::Present) {
    FShellIcon = std::make_unique<QSystemTrayIcon>(FIcon);
    FShellIcon->setToolTip(ToQ(FTip));
    connect(FShellIcon.get(), &QSystemTrayIcon::activated, this, &TTrayIcon::HandleActivation);
    FShellIcon->show();
  }
  connect(qApp, &QGuiApplication::commitDataRequest, this, &TTrayIcon::EndSession);
  if (FOwner != nullptr) FOwner->installEventFilter(this);
}

TTrayIcon::~TTrayIcon() {
  if (FOwner != nullptr) FOwner->removeEventFilter(this);
  disconnect(qApp, nullptr, this, nullptr);
  RemoveIcon();
}

std::string TTrayIcon::CutTip(const std::string& text) {
  // Each line on its own: the tip may hold one line per running session below the title.
  QStringList lines = ToQ(text).split(QLatin1Char('\n'));
  for (QString& line : lines) {
    line = line.left(MaxTipLength);
    if (!line.isEmpty() && line.back().isHighSurrogate()) line.chop(1);  // never half a character
  }
  return FromQ(lines.join(QLatin1Char('\n')));
}

bool TTrayIcon::IsShown() const { return FShellIcon != nullptr && FShellIcon->isVisible(); }

void TTrayIcon::ShowNotification(const std::string& title, const std::string& text) {
  ++FNotificationCount;
  FLastNotification = {title, text};
  if (FShellIcon != nullptr) FShellIcon->showMessage(ToQ(title), ToQ(text), QSystemTrayIcon::Warning);
}

void TTrayIcon::SetHint(const std::string& hint) {
  if (hint == FHint) return;
  FHint = hint;
  FTip = CutTip(hint);
  ModifyIcon();
}

void TTrayIcon::SetIcon(const QIcon& icon) {
  if (icon.cacheKey() == FIcon.cacheKey()) return;
  FIcon = icon;
  ModifyIcon();
}

void TTrayIcon::ModifyIcon() {
  if (FShellIcon == nullptr) return;
  FShellIcon->setIcon(FIcon);
  FShellIcon->setToolTip(ToQ(FTip));
}

void TTrayIcon::RemoveIcon() {
  if (FShellIcon == nullptr) return;
  FShellIcon->hide();
  FShellIcon.reset();
}

void TTrayIcon::EndSession() { RemoveIcon(); }

TShiftState TTrayIcon::CurrentShiftState(TMouseButton button) {
  const Qt::KeyboardModifiers keys = QGuiApplication::queryKeyboardModifiers();
  TShiftState shift = 0;
  if (keys & Qt::ShiftModifier) shift |= ssShift;
  if (keys & Qt::AltModifier) shift |= ssAlt;
  if (keys & Qt::ControlModifier) shift |= ssCtrl;
  switch (button) {
    case TMouseButton::mbLeft: return shift | ssLeft;
    case TMouseButton::mbRight: return shift | ssRight;
    case TMouseButton::mbMiddle: return shift | ssMiddle;
  }
  return shift;
}

bool TTrayIcon::IsSecondClick(QSystemTrayIcon::ActivationReason reason) {
  const bool second = FLastClick == reason && FSinceLastClick.isValid() &&
                      FSinceLastClick.elapsed() <= QApplication::doubleClickInterval();
  FLastClick = second ? QSystemTrayIcon::Unknown : reason;  // a third click starts anew
  FSinceLastClick.start();
  return second;
}

void TTrayIcon::HandleActivation(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      HandleIconMessage(TTrayMouseAction::LButtonDown);
      HandleIconMessage(TTrayMouseAction::LButtonUp);
      break;
    case QSystemTrayIcon::DoubleClick: HandleIconMessage(TTrayMouseAction::LButtonDblClk); break;
    case QSystemTrayIcon::Context:
      if (IsSecondClick(reason)) {
        HandleIconMessage(TTrayMouseAction::RButtonDblClk);
        break;
      }
      HandleIconMessage(TTrayMouseAction::RButtonDown);
      HandleIconMessage(TTrayMouseAction::RButtonUp);
      break;
    case QSystemTrayIcon::MiddleClick:
      if (IsSecondClick(reason)) {
        HandleIconMessage(TTrayMouseAction::MButtonDblClk);
        break;
      }
      HandleIconMessage(TTrayMouseAction::MButtonDown);
      HandleIconMessage(TTrayMouseAction::MButtonUp);
      break;
    case QSystemTrayIcon::Unknown: break;
  }
}

void TTrayIcon::HandleIconMessage(TTrayMouseAction action) {
  switch (action) {
    case TTrayMouseAction::MouseMove:
      DoMouseMove(CurrentShiftState(TMouseButton::mbLeft) & (ssShift | ssAlt | ssCtrl));
      break;
    case TTrayMouseAction::LButtonDown:
      DoMouseDown(TMouseButton::mbLeft);
      FLeftButtonPending = true;
      break;
    case TTrayMouseAction::LButtonUp:
      if (FLeftButtonPending) {
        FLeftButtonPending = false;
        DoClick();
      }
      DoMouseUp(TMouseButton::mbLeft);
      break;
    case TTrayMouseAction::RButtonDown:
      DoMouseDown(TMouseButton::mbRight);
      PopupAtCursor();
      break;
    case TTrayMouseAction::RButtonUp: DoMouseUp(TMouseButton::mbRight); break;
    case TTrayMouseAction::MButtonDown: DoMouseDown(TMouseButton::mbMiddle); break;
    case TTrayMouseAction::MButtonUp: DoMouseUp(TMouseButton::mbMiddle); break;
    case TTrayMouseAction::LButtonDblClk:
    case TTrayMouseAction::RButtonDblClk:
    case TTrayMouseAction::MButtonDblClk: DoDblClick(); break;
  }
}

void TTrayIcon::PopupAtCursor() {
  // While the program is on the screen a right click on its icon shows nothing.
  if (PopupMenu == nullptr || (FOwner != nullptr && FOwner->isVisible())) return;
  PopupMenu->popup(QCursor::pos());
}

void TTrayIcon::DoClick() {
  if (OnClick) OnClick(this);
}

void TTrayIcon::DoDblClick() {
  if (OnDblClick) OnDblClick(this);
}

void TTrayIcon::DoMouseMove(TShiftState shift) {
  if (OnMouseMove) OnMouseMove(this, shift, QCursor::pos());
}

void TTrayIcon::DoMouseDown(TMouseButton button) {
  if (OnMouseDown) OnMouseDown(this, button, CurrentShiftState(button), QCursor::pos());
}

void TTrayIcon::DoMouseUp(TMouseButton button) {
  if (OnMouseUp) OnMouseUp(this, button, CurrentShiftState(button), QCursor::pos());
}

void TTrayIcon::DoMinimize() {
  // Off the task list while minimised: the icon is the way back.
  if (FOwner != nullptr) FOwner->hide();
  if (OnMinimize) OnMinimize(this);
}

void TTrayIcon::DoRestore() {
  if (FOwner != nullptr) FOwner->show();
  if (OnRestore) OnRestore(this);
}

bool TTrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FOwner && event->type() == QEvent::WindowStateChange) {
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    const bool wasMinimised = change->oldState() & Qt::WindowMinimized;
    const bool isMinimised = FOwner->windowState() & Qt::WindowMinimized;
    if (isMinimised && !wasMinimised)
      DoMinimize();
    else if (wasMinimised && !isMinimised)
      DoRestore();
  }
  return QObject::eventFilter(watched, event);
}
