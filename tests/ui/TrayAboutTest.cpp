// The tray icon's reactions to mouse actions, its tip, its failure without a notification
// area and its hold on the owner window; the About box's version, link and painted button;
// the program icon.

#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>
#include <QWidget>
#include <memory>

#include "UiTestApp.h"
#include "ui/AboutFormUnit.h"
#include "ui/TrayIcon.h"
#include "ui/UiCommon.h"

namespace {

// Records the tray icon's events in order, as short words.
class TrayTest : public UiTest {
 protected:
  TrayTest() {
    owner.resize(200, 100);
    icon = std::make_unique<TTrayIcon>(&owner);
    icon->OnClick = [this](TTrayIcon*) { events += "click "; };
    icon->OnDblClick = [this](TTrayIcon*) { events += "dblclick "; };
    icon->OnMinimize = [this](TTrayIcon*) { events += "minimize "; };
    icon->OnRestore = [this](TTrayIcon*) { events += "restore "; };
    icon->OnMouseDown = [this](TTrayIcon*, TMouseButton button, TShiftState shift, QPoint) {
      events += "down" + Name(button, shift) + " ";
    };
    icon->OnMouseUp = [this](TTrayIcon*, TMouseButton button, TShiftState shift, QPoint) {
      events += "up" + Name(button, shift) + " ";
    };
    icon->OnMouseMove = [this](TTrayIcon*, TShiftState, QPoint) { events += "move "; };
  }
  static std::string Name(TMouseButton button, TShiftState shift) {
    const std::string name = button == TMouseButton::mbLeft ? "L" : button == TMouseButton::mbRight ? "R" : "M";
    const TShiftState expected = button == TMouseButton::mbLeft    ? ssLeft
                                 : button == TMouseButton::mbRight ? ssRight
                                                                   : ssMiddle;
    return (shift & expected) ? name : name + "?";
  }

  QWidget owner;
  std::unique_ptr<TTrayIcon> icon;
  std::string events;
};

}  // namespace

TEST_F(TrayTest, LeftPressAndReleaseClickOnceAndAnyDoubleClickRaisesDblClick) {
  icon->HandleIconMessage(TTrayMouseAction::LButtonDown);
  icon->HandleIconMessage(TTrayMouseAction::LButtonUp);
  icon->HandleIconMessage(TTrayMouseAction::LButtonUp);  // no press pending: no click
  icon->HandleIconMessage(TTrayMouseAction::LButtonDblClk);
  icon->HandleIconMessage(TTrayMouseAction::RButtonDblClk);
  icon->HandleIconMessage(TTrayMouseAction::MButtonDblClk);
  icon->HandleIconMessage(TTrayMouseAction::MButtonDown);
  icon->HandleIconMessage(TTrayMouseAction::MButtonUp);
  icon->HandleIconMessage(TTrayMouseAction::MouseMove);
  EXPECT_EQ(events, "downL click upL upL dblclick dblclick dblclick downM upM move ");
}

TEST_F(TrayTest, DesktopClicksTranslateIntoPressReleaseAndClick) {
  // A left double click: the first click, then the double click.
  icon->HandleActivation(QSystemTrayIcon::Trigger);
  icon->HandleActivation(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(events, "downL click upL dblclick ");
  // Two quick middle or right clicks are that button's double click.
  events.clear();
  icon->HandleActivation(QSystemTrayIcon::MiddleClick);
  icon->HandleActivation(QSystemTrayIcon::MiddleClick);
  icon->HandleActivation(QSystemTrayIcon::Context);
  icon->HandleActivation(QSystemTrayIcon::Context);
  EXPECT_EQ(events, "downM upM dblclick downR upR dblclick ");
}

TEST_F(TrayTest, RightClickShowsTheMenuOnlyWhileTheOwnerIsHidden) {
  QMenu menu;
  menu.addAction(QStringLiteral("Restore"));
  icon->PopupMenu = &menu;
  owner.show();
  icon->HandleIconMessage(TTrayMouseAction::RButtonDown);
  EXPECT_FALSE(menu.isVisible());
  owner.hide();
  icon->HandleIconMessage(TTrayMouseAction::RButtonDown);
  EXPECT_TRUE(menu.isVisible());
  menu.close();
  EXPECT_EQ(events, "downR downR ");
}

TEST_F(TrayTest, MinimisingTheOwnerTakesItOffTheScreenUntilRestored) {
  owner.show();
  owner.setWindowState(owner.windowState() | Qt::WindowMinimized);
  EXPECT_FALSE(owner.isVisible());
  owner.setWindowState(owner.windowState() & ~Qt::WindowMinimized);
  EXPECT_TRUE(owner.isVisible());
  EXPECT_EQ(events, "minimize restore ");

  icon.reset();  // a destroyed icon no longer hears the owner
  owner.setWindowState(owner.windowState() | Qt::WindowMinimized);
  EXPECT_TRUE(owner.isVisible());
  EXPECT_EQ(events, "minimize restore ");
}

TEST_F(TrayTest, TipIsTheTitleUntilAHintIsSetAndNeverLongerThan63Characters) {
  EXPECT_EQ(icon->TipText(), "Zephlin v2");
  EXPECT_FALSE(icon->IsShown());  // offscreen: no notification area, and no error
  const std::string longHint(70, 'h');
  icon->SetHint(longHint);
  EXPECT_EQ(icon->Hint(), longHint);
  EXPECT_EQ(icon->TipText(), std::string(63, 'h'));
  icon->SetHint("");
  EXPECT_EQ(icon->TipText(), "");

  const QString title = QApplication::applicationDisplayName();
  QApplication::setApplicationDisplayName(QString(64, u'\u00e9'));  // two bytes each in UTF-8
  TTrayIcon second(&owner);
  QApplication::setApplicationDisplayName(title);
  EXPECT_EQ(QString::fromStdString(second.TipText()), QString(63, u'\u00e9'));
}

TEST(TrayFailureTest, DisplayWithoutNotificationAreaRefusesTheIcon) {
  UiTestApp();
  QWidget owner;
  TTrayIcon::SetNotificationAreaProbe([] { return TNotificationArea::Missing; });
  try {
    TTrayIcon icon(&owner);
    ADD_FAILURE() << "no failure";
  } catch (const EOutOfResources& error) {
    EXPECT_STREQ(error.what(), "Cannot create shell notification icon");
  }
  TTrayIcon::SetNotificationAreaProbe({});
  EXPECT_TRUE(owner.children().isEmpty());  // nothing was left behind
}

// --- About box ---

namespace {

void SendMouse(QWidget* widget, QEvent::Type type, Qt::MouseButton button) {
  const QPointF at(5, 5);
  QMouseEvent event(type, at, widget->mapToGlobal(at), button, button, Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

void SendEnter(QWidget* widget) {
  QEnterEvent event(QPointF(5, 5), QPointF(5, 5), widget->mapToGlobal(QPointF(5, 5)));
  QApplication::sendEvent(widget, &event);
}

void SendLeave(QWidget* widget) {
  QEvent event(QEvent::Leave);
  QApplication::sendEvent(widget, &event);
}

}  // namespace

TEST_F(UiTest, AboutBoxShowsTheVersionOfItsOwnExecutable) {
  TAboutBox box;
  EXPECT_EQ(box.windowTitle(), "About");
  EXPECT_EQ(box.size(), QSize(298, 213));
  EXPECT_EQ(box.ProductName->text(), "Zephlin v2");
  EXPECT_EQ(box.Version->text(), "Version 2.0.4.61");
  EXPECT_EQ(box.HomePage->text().toStdString(), box.HomePage->Url);
  EXPECT_NE(box.HomePage->Url.find("example."), std::string::npos);
}

TEST_F(UiTest, LinkTurnsBlueUnderThePointerAndOpensOnThePress) {
  TOpenRecorder recorder;
  TAboutBox box;
  TUrlLabel& link = *box.HomePage;
  EXPECT_EQ(link.CurrentColor(), QColor(0, 0, 128));
  EXPECT_TRUE(link.font().bold() && link.font().underline());
  EXPECT_EQ(link.font().pointSize(), 10);
  SendEnter(&link);
  EXPECT_EQ(link.CurrentColor(), QColor(0, 0, 255));
  EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
  SendMouse(&link, QEvent::MouseButtonPress, Qt::RightButton);
  EXPECT_TRUE(recorder.Opened.empty());
  SendMouse(&link, QEvent::MouseButtonPress, Qt::LeftButton);
  EXPECT_EQ(recorder.Opened, std::vector<std::string>{link.Url});
  SendLeave(&link);
  EXPECT_EQ(link.CurrentColor(), QColor(0, 0, 128));
  EXPECT_EQ(link.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(UiTest, OkButtonIsPaintedInTheBoxColourAndClosesOnThePress) {
  TOpenRecorder recorder;
  TAboutBox box;
  box.show();
  TUrlButton& ok = *box.OkButton;
  EXPECT_EQ(ok.geometry(), QRect(99, 178, 100, 25));
  EXPECT_EQ(ok.NormalColor, QColor(225, 225, 225));
  const QImage painted = ok.grab().toImage();
  EXPECT_EQ(painted.pixelColor(0, 0), QColor(128, 128, 128));  // the frame
  EXPECT_EQ(painted.pixelColor(3, 3), QColor(225, 225, 225));  // the face
  SendEnter(&ok);
  EXPECT_EQ(ok.CurrentColor(), ok.HoverColor);
  EXPECT_EQ(ok.grab().toImage().pixelColor(3, 3), ok.HoverColor);

  SendMouse(&ok, QEvent::MouseButtonPress, Qt::LeftButton);  // no release needed
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.result(), QDialog::Accepted);
  EXPECT_TRUE(recorder.Opened.empty());  // its Url is empty and its handler closes the box
}

namespace {

TEST_F(UiTest, ProgramIconIsDrawnAtTheSizeAskedAndOffersTheUsualSizes) {
  const QIcon icon = ProgramIcon();
  ASSERT_FALSE(icon.isNull());
  const QList<QSize> sizes = icon.availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(16, 16)));
  EXPECT_TRUE(sizes.contains(QSize(256, 256)));
  for (const int side : {16, 20, 48}) {
    const QImage image = icon.pixmap(side, side).toImage();
    ASSERT_EQ(image.size(), QSize(side, side)) << side;
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "the rounded corner is transparent at " << side;
    EXPECT_EQ(qAlpha(image.pixel(side / 2, side / 2 + side / 8)), 255) << "the face is opaque at " << side;
  }
  EXPECT_EQ(icon.actualSize(QSize(40, 30)), QSize(30, 30));  // square, never larger than asked
}

}  // namespace
