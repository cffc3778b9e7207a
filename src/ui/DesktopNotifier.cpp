#include "ui/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "ui/UiCommon.h"

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
const QString HistoryAction = QStringLiteral("history");
const QString DefaultAction = QStringLiteral("default");  // a click on the message itself
const QString ConnectionName = QStringLiteral("zephlin-notifications");

std::optional<std::string> busAddress;

std::optional<QDBusConnection> OpenBus() {
  if (busAddress) {
    if (busAddress->empty()) return std::nullopt;
    QDBusConnection bus = QDBusConnection::connectToBus(ToQ(*busAddress), ConnectionName);
    if (bus.isConnected()) return bus;
    return std::nullopt;
  }
  if (!SessionBusReachable()) return std::nullopt;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) return bus;
  return std::nullopt;
}

}  // namespace

void TDesktopNotifier::SetBusAddress(std::optional<std::string> address) { busAddress = std::move(address); }

TDesktopNotifier::TDesktopNotifier(QObject* parent) : QObject(parent), FBus(OpenBus()) {
  if (!FBus) return;
  FBus->connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), this, SLOT(ActionInvoked(uint, QString)));
  FBus->connect(Service, Path, Interface, QStringLiteral("NotificationClosed"), this,
                SLOT(NotificationClosed(uint, uint)));
}

TDesktopNotifier::~TDesktopNotifier() {
  if (busAddress && !busAddress->empty()) QDBusConnection::disconnectFromBus(ConnectionName);
}

void TDesktopNotifier::Notify(const std::string& session, const std::string& title, const std::string& text,
                              std::function<void()> fallback) {
  if (!FBus) {
    if (fallback) fallback();
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("zephlin"));
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));  // normal: it waits to be read
  call << QStringLiteral("Zephlin") << uint{0} << QStringLiteral("zephlin") << ToQ(title) << ToQ(text)
       << QStringList{DefaultAction, QStringLiteral("History"), HistoryAction, QStringLiteral("History")} << hints
       << int{-1};
  auto* watcher = new QDBusPendingCallWatcher(FBus->asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, session, fallback = std::move(fallback)](QDBusPendingCallWatcher* done) {
            const QDBusPendingReply<uint> reply = *done;
            done->deleteLater();
            if (reply.isError()) {
              if (fallback) fallback();
              return;
            }
            FSessions[reply.value()] = session;
          });
}

void TDesktopNotifier::ActionInvoked(uint id, const QString& action) {
  const auto message = FSessions.find(id);
  if (message == FSessions.end() || (action != HistoryAction && action != DefaultAction)) return;
  const std::string session = message->second;
  if (OnHistory) OnHistory(session);
}

void TDesktopNotifier::NotificationClosed(uint id, uint) { FSessions.erase(id); }
