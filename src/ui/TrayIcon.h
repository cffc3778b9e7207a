#pragma once
// TTrayIcon: the program's icon in the desktop's notification area while the main window is
// hidden. It turns mouse actions on the icon into events, shows its popup menu on a right
// click while the program is hidden, and takes the program off the task list when the owner
// window is minimised. Main thread only.
//
// The desktop reports clicks through QSystemTrayIcon, which knows fewer mouse actions than
// the icon's events distinguish (no separate press and release, no right or middle double
// click). HandleActivation translates what it reports into press, release and click
// actions, and HandleIconMessage turns those into the icon's events:
//   left click -> left down + left up (OnMouseDown, OnClick, OnMouseUp);
//   left double click -> left double click (OnDblClick);
//   right click -> right down + right up (OnMouseDown, PopupAtCursor, OnMouseUp);
//   middle click -> middle down + middle up;
//   a second right or middle click within the double-click time -> that button's double
//   click (OnDblClick), so a double click with any button restores the window.
//
// Without a display (Qt platform "offscreen" or "minimal") there is no notification area:
// the icon exists without being shown, and that is no error. On a display without a
// notification area, creating one fails with EOutOfResources.

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Errors.h"

class QMenu;
class QWidget;

class EOutOfResources : public EZephlin {
 public:
  using EZephlin::EZephlin;
};

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// Shift state: the keys held and the button concerned.
enum : uint32_t { ssShift = 0x01, ssAlt = 0x02, ssCtrl = 0x04, ssLeft = 0x08, ssRight = 0x10, ssMiddle = 0x20 };
using TShiftState = uint32_t;

// The mouse actions a notification icon is told of.
enum class TTrayMouseAction {
  MouseMove,
  LButtonDown,
  LButtonUp,
  LButtonDblClk,
  RButtonDown,
  RButtonUp,
  RButtonDblClk,
  MButtonDown,
  MButtonUp,
  MButtonDblClk,
};

// Where the icon can live.
enum class TNotificationArea { Present, Missing, Headless };

class TTrayIcon : public QObject {
  Q_OBJECT

 public:
  // Shows the icon at once, with the application's icon and its title as the tip; hooks the
  // owner window's minimise and restore. Throws EOutOfResources "Cannot create shell
  // notification icon" where the display has no notification area.
  explicit TTrayIcon(QWidget* owner);
  // Removes the icon and unhooks the owner window, so nothing reaches a destroyed icon.
  ~TTrayIcon() override;
  TTrayIcon(const TTrayIcon&) = delete;
  TTrayIcon& operator=(const TTrayIcon&) = delete;

  // The tip text; the application's title stays the tip until it is set. At most
  // MaxTipLength characters of each of its lines are shown.
  const std::string& Hint() const { return FHint; }
  virtual void SetHint(const std::string& hint);
  const QIcon& Icon() const { return FIcon; }
  virtual void SetIcon(const QIcon& icon);
  // The tip as the notification area shows it.
  std::string TipText() const { return FTip; }
  static constexpr int MaxTipLength = 63;
  // The icon is in the notification area.
  bool IsShown() const;

  // A message that pops up from the icon, shown where there is a notification area; the last
  // one and their number are kept (also without a display) for whoever checks them.
  struct TNotification {
    std::string Title;
    std::string Text;
  };
  void ShowNotification(const std::string& title, const std::string& text);
  int32_t NotificationCount() const { return FNotificationCount; }
  const TNotification& LastNotification() const { return FLastNotification; }

  QMenu* PopupMenu = nullptr;  // shown on a right click while the owner window is hidden
  std::function<void(TTrayIcon* sender)> OnClick;
  std::function<void(TTrayIcon* sender)> OnDblClick;
  std::function<void(TTrayIcon* sender)> OnMinimize;
  std::function<void(TTrayIcon* sender)> OnRestore;
  std::function<void(TTrayIcon* sender, TShiftState shift, QPoint position)> OnMouseMove;
  std::function<void(TTrayIcon* sender, TMouseButton button, TShiftState shift, QPoint position)> OnMouseDown;
  std::function<void(TTrayIcon* sender, TMouseButton button, TShiftState shift, QPoint position)> OnMouseUp;

  // What the desktop reported, translated into press, release and click actions (see the top of this file).
  void HandleActivation(QSystemTrayIcon::ActivationReason reason);
  // One mouse action on the icon.
  virtual void HandleIconMessage(TTrayMouseAction action);
  // The desktop session ends: the icon goes.
  void EndSession();

  // Tests choose what kind of notification area there is; an empty function restores the
  // detection from the Qt platform.
  static void SetNotificationAreaProbe(std::function<TNotificationArea()> probe);

 protected:
  virtual void PopupAtCursor();
  virtual void DoClick();
  virtual void DoDblClick();
  virtual void RemoveIcon();
  virtual void DoMouseMove(TShiftState shift);
  virtual void DoMouseDown(TMouseButton button);
  virtual void DoMouseUp(TMouseButton button);
  virtual void ModifyIcon();
  virtual void DoMinimize();
  virtual void DoRestore();
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  static TNotificationArea DetectNotificationArea();
  static std::string CutTip(const std::string& text);
  static TShiftState CurrentShiftState(TMouseButton button);
  bool IsSecondClick(QSystemTrayIcon::ActivationReason reason);

  QWidget* FOwner;
  std::unique_ptr<QSystemTrayIcon> FShellIcon;  // none without a notification area
  std::string FHint;
  std::string FTip;
  QIcon FIcon;
  int32_t FNotificationCount = 0;
  TNotification FLastNotification;
  bool FLeftButtonPending = false;
  QSystemTrayIcon::ActivationReason FLastClick = QSystemTrayIcon::Unknown;
  QElapsedTimer FSinceLastClick;
};
