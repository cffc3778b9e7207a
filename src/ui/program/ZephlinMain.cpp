// The program's entry: the application titled "Zephlin v2", the folder's lock, the main
// window, the command line, and the event loop. Unattended runs (cron, a systemd timer) need
// no display: without one the program picks the offscreen platform itself, and nothing waits
// for an answer.
//
// Exit status: 0 when every run did all it was asked and nothing else went wrong; with
// "/exit", 2 when a run reported a failure (the run ledger's word) or an error was reported;
// 1 when the program could not start (also when another copy holds the folder).

#include <QApplication>
#include <QSocketNotifier>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "platform/Signals.h"
#include "sessions/MainThreadDispatcher.h"
#include "sessions/PasswordKeyring.h"
#include "sessions/SessionsUnit.h"
#include "ui/CommandLine.h"
#include "ui/InstanceChannel.h"
#include "ui/MainFormUnit.h"
#include "ui/SessionListing.h"
#include "ui/UiCommon.h"

namespace {

bool HasValue(const char* name) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread starts
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Without a display and without a platform chosen by the user, run offscreen rather than fail.
void ChooseHeadlessPlatformWhenNoDisplay(int argc, char** argv) {
  if (HasValue("DISPLAY") || HasValue("WAYLAND_DISPLAY") || HasValue("QT_QPA_PLATFORM")) return;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "-platform") return;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread starts
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
  for (const TCommandSession& command : line.CommandSessions)
    form.QueueCommandSession(command.SessionName, command.Force);
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

// Another copy holds the folder. A start that asks for work is refused: two copies would
// run the same sessions and lose each other's edits. A start that only wants the window
// gets the first copy's window instead, when it can be shown.
int StartedAgain(const TCommandLine& line, const std::string& folder) {
  if (line.CommandSessions.empty() && !line.StartOnLaunch) {
    const TInstanceChannel::TAnswer answer = TInstanceChannel::AskToShow(folder);
    if (answer == TInstanceChannel::Shown) return 0;
    const std::string why =
        answer == TInstanceChannel::NoDisplay ? ", which runs without a display" : ", whose window could not be shown";
    const std::string message = folder + " is in use by another copy of the program" + why + ".";
    if (NobodyToAnswer())
      std::fprintf(stderr, "zephlin: %s\n", message.c_str());
    else
      ShowMessage(nullptr, QMessageBox::Information, message);
    return 1;
  }
  std::fprintf(stderr, "zephlin: %s is in use by another copy of the program\n", folder.c_str());
  return 1;
}

// Session passwords go to the desktop's keyring while the application lives; its thread
// ends before the application does, however main() returns. Without a session bus (cron,
// CI, a service) no keyring thread is started and passwords stay scrambled in the settings
// file.
struct TInstalledKeyring {
  TInstalledKeyring() {
    if (SessionBusReachable()) SetPasswordKeyring(MakeDesktopKeyring());
  }
  ~TInstalledKeyring() { SetPasswordKeyring(nullptr); }
  TInstalledKeyring(const TInstalledKeyring&) = delete;
  TInstalledKeyring& operator=(const TInstalledKeyring&) = delete;
};

// Settings that other users could change would run their commands (hosts, folders to empty)
// under this user's name: the program refuses them until they are private again.
bool SettingsArePrivate() {
  const std::string settings = TSessions::SettingsFileName();
  if (!FileExists(settings)) return true;
  if (!OthersCanChange(settings) && !OthersCanChange(SettingsDirectory()) && !OthersCanChange(StateDirectory()))
    return true;
  const std::string message =
      "Settings file " + settings + " can be changed by other users; make it private (chmod 600) and start again";
  if (NobodyToAnswer())
    std::fprintf(stderr, "zephlin: %s\n", message.c_str());
  else
    ShowMessage(nullptr, QMessageBox::Critical, message);
  return false;
}

// "/list" anywhere on the command line: the sessions are printed and nothing else is done,
// without a display, the folder's lock or a window, so it also answers while another copy
// runs in the folder.
bool AsksForList(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return ReadCommandLine(arguments).ListSessions;
}

int ListSessions(int argc, char** argv) {
  const QCoreApplication application(argc, argv);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): before the program starts any thread of its own
  std::setlocale(LC_ALL, "");
  try {
    return ListSessionsToStandardOutput();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zephlin: %s\n", error.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForList(argc, argv)) return ListSessions(argc, argv);
  ChooseHeadlessPlatformWhenNoDisplay(argc, argv);
  QApplication application(argc, argv);
  // NOLINTBEGIN(concurrency-mt-unsafe): before the program starts any thread of its own
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  // NOLINTEND(concurrency-mt-unsafe)
  QApplication::setApplicationName(QStringLiteral("Zephlin v2"));
  QApplication::setWindowIcon(ProgramIcon());
  InstallQtMainThreadDispatcher();
  QuitOnTerminationRequest(application);
  SetOpenHandler(DesktopOpen);
  const TInstalledKeyring keyring;
  SetNobodyToAnswer(IsHeadless());

  int status = 0;
  try {
    const TCommandLine line = ReadCommandLine(ArgumentsOf(QApplication::arguments()));
    if (!SettingsArePrivate()) return 1;
    const std::string folder = SettingsDirectory();
    // Held until the program ends; the kernel lets go of it however the program ends.
    const TFileLock folderLock(folder);
    if (folderLock.State() == TFileLock::Busy) return StartedAgain(line, folder);
    // The program ends when the main window has closed for good, not when the last visible
    // window goes (hiding to the notification area leaves none visible).
    QApplication::setQuitOnLastWindowClosed(false);
    TMainForm form;
    QObject::connect(&form, &TMainForm::Closed, &application, &QApplication::quit, Qt::QueuedConnection);
    TInstanceChannel channel(folder, !NobodyToAnswer());
    QObject::connect(&channel, &TInstanceChannel::ShowRequested, &form, &TMainForm::Restore1Click);
    ApplyCommandLine(form, line);
    if (!form.IsStartedHidden()) form.show();
    status = application.exec();
    status = form.ExitStatus(status);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zephlin: %s\n", error.what());
    status = 1;
  }
  SetOpenHandler(nullptr);
  return status;
}
