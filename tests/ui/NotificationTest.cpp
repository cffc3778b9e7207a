// Failed runs told through the desktop's notification service on a real message bus
// (dbus-daemon started by the test), the service being this test's own object on that bus;
// its "History" action opens the session's history, and a bus without the service falls back
// to the tray's message.

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <memory>

#include "UiTestApp.h"
#include "sessions/SessionsUnit.h"
#include "ui/DesktopNotifier.h"
#include "ui/HistoryWindow.h"
#include "ui/MainFormUnit.h"
#include "ui/TrayIcon.h"

using namespace std::chrono_literals;

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");

// The notification service's side: takes Notify calls, answers with an id, records them.
class TNotificationService : public QDBusVirtualObject {
 public:
  struct TCall {
    QString Summary;
    QString Body;
    QStringList Actions;
  };
  std::vector<TCall> Calls;

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QStringLiteral("Notify")) return false;
    const QList<QVariant> arguments = message.arguments();
    Calls.push_back({arguments.value(3).toString(), arguments.value(4).toString(), arguments.value(5).toStringList()});
    connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(Calls.size()))));
    return true;
  }
};

class NotificationTest : public UiTest {
 protected:
  void SetUp() override {
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    ASSERT_TRUE(daemon.waitForStarted(5000));
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    address = QString::fromLatin1(daemon.readLine()).trimmed();
    bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, QStringLiteral("service-side")));
    ASSERT_TRUE(bus->isConnected());
    ASSERT_TRUE(bus->registerVirtualObject(Path, &service));
    ASSERT_TRUE(bus->registerService(Service));
    TDesktopNotifier::SetBusAddress(address.toStdString());
    form = std::make_unique<TMainForm>();
    form->StartupPending = false;
  }
  void TearDown() override {
    form.reset();
    TDesktopNotifier::SetBusAddress(std::string());
    bus.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("service-side"));
    daemon.kill();
    daemon.waitForFinished(5000);
  }
  // A run of the session at index ends, done or with the failure `error`.
  void RunEnds(int32_t index, const std::string& error = std::string()) {
    TRunOutcome outcome;
    if (!error.empty()) {
      outcome.Result = TRunResult::Failed;
      outcome.AddError(error);
    }
    form->Sessions().Ledger().Record(*form->Sessions().GetSession(index), outcome);
  }

  TProgramDirScope program;
  QProcess daemon;
  QString address;
  TNotificationService service;
  std::unique_ptr<QDBusConnection> bus;
  std::unique_ptr<TMainForm> form;
};

TEST_F(NotificationTest, OneMessagePerFailedRunWhoseHistoryActionOpensTheSessionsHistory) {
  for (const char* name : {"Alpha", "Beta"}) form->Sessions().AddSession(name);
  RunEnds(0);
  RunEnds(1, "530 Login incorrect.");
  ASSERT_TRUE(ProcessUiEventsUntil([&] { return !service.Calls.empty(); }, 5s));
  ProcessUiEventsUntil([] { return false; }, 200ms);  // nothing more comes
  ASSERT_EQ(service.Calls.size(), 1u) << "none for the run that ended well";
  EXPECT_EQ(service.Calls[0].Summary.toStdString(), "Zephlin: Beta failed");
  EXPECT_EQ(service.Calls[0].Body.toStdString(), "530 Login incorrect.");
  EXPECT_TRUE(service.Calls[0].Actions.contains(QStringLiteral("history")));

  QDBusMessage action = QDBusMessage::createSignal(Path, Service, QStringLiteral("ActionInvoked"));
  action << uint{1} << QStringLiteral("history");
  ASSERT_TRUE(bus->send(action));
  const auto historyOfBeta = [] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (qobject_cast<THistoryWindow*>(widget) != nullptr && widget->isVisible() &&
          widget->windowTitle() == QStringLiteral("History - Beta"))
        return true;
    return false;
  };
  EXPECT_TRUE(ProcessUiEventsUntil(historyOfBeta, 5s));
}

TEST_F(NotificationTest, WithoutTheServiceTheTrayTellsWhileHidden) {
  ASSERT_TRUE(bus->unregisterService(Service));
  form->Sessions().AddSession("Alpha");
  form->HideButtonClick();
  ASSERT_NE(form->TrayIcon, nullptr);
  RunEnds(0, "421 Bye.");
  EXPECT_TRUE(ProcessUiEventsUntil([&] { return form->TrayIcon->NotificationCount() == 1; }, 5s));
  EXPECT_EQ(form->TrayIcon->LastNotification().Title, "Zephlin: Alpha failed");
  EXPECT_TRUE(service.Calls.empty());
}

}  // namespace
