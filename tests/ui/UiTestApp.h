#pragma once
// Widgets in tests: gtest_main owns main(), so the one QApplication of test_ui is made on
// first use (CTest runs it with QT_QPA_PLATFORM=offscreen), with the program's main-thread
// dispatcher installed for TThread. Helpers to answer modal boxes without blocking, to point
// the program directory at a temporary one, and to record "open with the associated program".

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "sessions/MainThreadDispatcher.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"
#include "ui/DesktopNotifier.h"

inline QApplication& UiTestApp() {
  static int argc = 1;
  static char name[] = "zephlin-ui-tests";
  static char* argv[] = {name, nullptr};
  // Kept for the life of the process: destroying it during static destruction would race
  // with Qt's own clean-up.
  static QApplication* app = [] {
    auto* made = new QApplication(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Zephlin v2"));
    InstallQtMainThreadDispatcher();
    // No test reaches the desktop's notification service unless it brings its own bus.
    TDesktopNotifier::SetBusAddress(std::string());
    return made;
  }();
  return *app;
}

// A fixture base whose application exists before any widget member of the fixture is made.
class UiTest : public ::testing::Test {
 protected:
  UiTest() { UiTestApp(); }
};

// Runs the event loop until done() is true or limit has passed; returns done().
inline bool ProcessUiEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  UiTestApp();
  return ProcessEventsUntil(done, limit);
}

// Sends a key press and release to a widget as the keyboard would.
inline void SendKey(QWidget* widget, int key, const QString& text = QString(),
                    Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QApplication::sendEvent(widget, &release);
}

// Types each character of text into a widget.
inline void TypeText(QWidget* widget, const QString& text) {
  for (const QChar character : text) SendKey(widget, 0, QString(character));
}

// One message box that was shown: its icon, its text (line breaks as "\n") and its buttons.
struct TShownBox {
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  std::string Text;
  QMessageBox::StandardButtons Buttons;
};

// While it lives, answers every modal message box with `answer` (or closes it when it has no
// such button) and records what was shown, so code that shows boxes runs without blocking.
// `onModal` may handle other modal windows (return true when it did).
class TBoxAnswerer {
 public:
  explicit TBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok,
                        std::function<bool(QWidget*)> onModal = {})
      : answer_(answer), onModal_(std::move(onModal)) {
    UiTestApp();
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(5);
  }
  std::vector<TShownBox> Boxes;

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      Boxes.push_back({box->icon(), box->text().toStdString(), box->standardButtons()});
      if (box->standardButtons() & answer_)
        box->button(answer_)->click();
      else
        box->reject();
      return;
    }
    if (onModal_) onModal_(modal);
  }
  QMessageBox::StandardButton answer_;
  std::function<bool(QWidget*)> onModal_;
  QTimer timer_;
};

// Points the program directory at a fresh temporary directory for the test's lifetime.
class TProgramDirScope {
 public:
  TProgramDirScope() { SetProgramDirectory(dir_.path()); }
  ~TProgramDirScope() { SetProgramDirectory(std::string()); }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

// Records every "open with the associated program" instead of opening anything.
class TOpenRecorder {
 public:
  TOpenRecorder() {
    SetOpenHandler([this](const std::string& path) { Opened.push_back(path); });
  }
  ~TOpenRecorder() { SetOpenHandler({}); }
  std::vector<std::string> Opened;
};
