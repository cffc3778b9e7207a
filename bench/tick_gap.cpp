// How responsive the main thread stays while a session transfers: the program's own main
// window, session list, scheduler and main-thread hand-over, offscreen, with one session
// transferring and one counting down. Every scheduler tick reaches the counting session's
// row; the longest gap between two of them while the transfer runs is the figure.
//
//   tick_gap APP_DIR TRANSFER_SESSION CLOCK_SESSION
//
// APP_DIR holds the "zephlin.ini" that defines both sessions (bench_program.py writes it and
// runs this). Prints one line: ticks seen, longest gap, mean gap, transfer time.

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ProgramDir.h"
#include "sessions/MainThreadDispatcher.h"
#include "sessions/SessionsUnit.h"
#include "ui/MainFormUnit.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tick_gap APP_DIR TRANSFER_SESSION CLOCK_SESSION\n");
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  InstallQtMainThreadDispatcher();
  SetProgramDirectory(std::string(argv[1]) + "/");

  TMainForm form;
  TSessions& sessions = form.Sessions();
  const int32_t transfer = sessions.FindSession(argv[2]), clock = sessions.FindSession(argv[3]);
  if (transfer < 0 || clock < 0) {
    std::fprintf(stderr, "tick_gap: sessions not found\n");
    return 2;
  }

  std::vector<Clock::time_point> ticks;
  TSession& counting = *sessions.GetSession(clock);
  TSessionStatusEvent shown = counting.StatusHandler;
  counting.StatusHandler = [&](int32_t index, int32_t remaining, const std::string& connection,
                               const std::string& function, const std::string& status) {
    if (function == "Countdown") ticks.push_back(Clock::now());
    if (shown) shown(index, remaining, connection, function, status);
  };
  sessions.StartSession(clock, false, false);

  const Clock::time_point start = Clock::now();
  sessions.StartSession(transfer, true, true);
  QTimer poll;
  Clock::time_point end = start;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (sessions.GetSession(transfer)->IsRunning()) return;
    end = Clock::now();
    application.quit();
  });
  poll.start(10);
  application.exec();

  double longest = 0;
  size_t counted = 0;
  Clock::time_point previous = start;  // the gap before the first tick counts as well
  for (const Clock::time_point& tick : ticks) {
    if (tick > end) break;
    longest = std::max(longest, Seconds(tick - previous));
    previous = tick;
    ++counted;
  }
  longest = std::max(longest, Seconds(end - previous));
  std::printf("ticks %zu  longest gap %.3f s  mean gap %.3f s  transfer %.3f s\n", counted, longest,
              counted ? Seconds(end - start) / static_cast<double>(counted) : 0.0, Seconds(end - start));
  return 0;
}
