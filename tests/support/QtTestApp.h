#pragma once
// Qt in tests: gtest_main owns main(), so the one QCoreApplication of a test executable is
// made on first use, with the program's main-thread dispatcher installed for TThread. The
// thread that first calls QtTestApp() is the main thread (gtest runs every test on it).
//
//   QtTestApp();
//   ASSERT_TRUE(ProcessEventsUntil([&] { return events == 1; }, 5s));
//   ProcessEventsFor(300ms);  // give something that must not happen the chance to

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

#include "sessions/MainThreadDispatcher.h"

inline QCoreApplication& QtTestApp() {
  static int argc = 1;
  static char name[] = "zephlin-tests";
  static char* argv[] = {name, nullptr};
  // Kept for the life of the process: destroying it during static destruction would race
  // with Qt's own clean-up.
  static QCoreApplication* app = [] {
    // A widget test executable makes its QApplication first; that one serves here too.
    if (QCoreApplication* existing = QCoreApplication::instance()) return existing;
    auto* made = new QCoreApplication(argc, argv);
    InstallQtMainThreadDispatcher();
    return made;
  }();
  return *app;
}

// Runs the event loop until done() is true or limit has passed; returns done().
inline bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QtTestApp();
  if (done()) return true;
  QEventLoop loop;
  QTimer check;
  check.setInterval(2);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  QTimer::singleShot(limit, &loop, &QEventLoop::quit);
  check.start();
  loop.exec();
  return done();
}

// Runs the event loop for a while.
inline void ProcessEventsFor(std::chrono::milliseconds duration) {
  ProcessEventsUntil([] { return false; }, duration);
}
