// The program's entry: the application titled "Zephlin v2", the main window, the command
// line, and the event loop. Unattended runs (cron, a systemd timer) need no display: without
// one the program picks the offscreen platform itself.

#include <QApplication>
#include <QSocketNotifier>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Shell.h"
#include "platform/Signals.h"
#include "sessions/MainThreadDispatcher.h"
#include "ui/CommandLine.h"
#include "ui/MainFormUnit.h"
#include "ui/UiCommon.h"

namespace {

bool HasValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Without a display and without a platform chosen by the user, run offscreen rather than fail.
void ChooseHeadlessPlatformWhenNoDisplay(int argc, char** argv) {
  if (HasValue("DISPLAY") || HasValue("WAYLAND_DISPLAY") || HasValue("QT_QPA_PLATFORM")) return;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "-platform") return;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

std::vector<std::string> ArgumentsOf(const QStringList& all) {
  std::vector<std::string> arguments;
  for (qsizetype i = 1; i < all.size(); ++i) arguments.push_back(all[i].toStdString());
  return arguments;
}

void ApplyCommandLine(TMainForm& form, const TCommandLine& line) {
  form.ExitWhenIdle = line.ExitWhenIdle;
  form.StartOnLaunch = line.StartOnLaunch;
  if (line.StartHidden) form.StartHidden(true);
  if (line.LogEnabled) form.EnableSummaryLog(true);
  for (const TCommandSession& command : line.CommandSessions) form.QueueCommandSession(command.SessionName, command.Force);
}

// SIGTERM (a service manager, a shutdown) and Ctrl-C end the event loop: the main window is
// then destroyed, which stops the workers, waits for them and writes the summary log. Nothing
// is asked: there may be nobody to answer. exit() rather than quit(): quit() first offers the
// visible windows a close, and the main window would ask its question while sessions run.
void QuitOnTerminationRequest(QApplication& application) {
  const int fd = InstallTerminationRequestNotifier();
  if (fd < 0) return;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &application);
  QObject::connect(notifier, &QSocketNotifier::activated, &application, [fd] {
    if (ConsumeTerminationRequest(fd)) QApplication::exit(0);
  });
}

}  // namespace

int main(int argc, char** argv) {
  ChooseHeadlessPlatformWhenNoDisplay(argc, argv);
  QApplication application(argc, argv);
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("Zephlin v2"));
  QApplication::setWindowIcon(ProgramIcon());
  InstallQtMainThreadDispatcher();
  QuitOnTerminationRequest(application);
  SetOpenHandler(DesktopOpen);

  int status = 0;
  try {
    // The program ends when the main window has closed for good, not when the last visible
    // window goes (hiding to the notification area leaves none visible).
    QApplication::setQuitOnLastWindowClosed(false);
    TMainForm form;
    QObject::connect(&form, &TMainForm::Closed, &application, &QApplication::quit, Qt::QueuedConnection);
    ApplyCommandLine(form, ReadCommandLine(ArgumentsOf(QApplication::arguments())));
    if (!form.IsStartedHidden()) form.show();
    status = application.exec();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zephlin: %s\n", error.what());
    status = 1;
  }
  SetOpenHandler(nullptr);
  return status;
}
