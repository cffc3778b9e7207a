#pragma once
// TDesktopNotifier: messages to the desktop's notification service (org.freedesktop.Notifications
// on the session bus), each with a "History" action that names the session it is about.
// Where no service takes a message (no session bus, or nobody owns the name), the caller's
// fallback runs instead. Calls never wait for the service: a hung one cannot stop the window.
// Main thread only.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

class TDesktopNotifier : public QObject {
  Q_OBJECT

 public:
  explicit TDesktopNotifier(QObject* parent = nullptr);
  ~TDesktopNotifier() override;
  TDesktopNotifier(const TDesktopNotifier&) = delete;
  TDesktopNotifier& operator=(const TDesktopNotifier&) = delete;

  // Shows title and text about the session `session`; runs fallback when no service shows it.
  void Notify(const std::string& session, const std::string& title, const std::string& text,
              std::function<void()> fallback);
  // The user chose "History" (or the message itself) on a message about that session.
  std::function<void(const std::string& session)> OnHistory;
  // Messages the service took and has not closed yet.
  size_t OpenCount() const { return FSessions.size(); }

  // Tests: the address of the bus to use instead of the session bus ("" for none); nullopt
  // restores the session bus, taken when one is reachable.
  static void SetBusAddress(std::optional<std::string> address);

 private slots:
  void ActionInvoked(uint id, const QString& action);
  void NotificationClosed(uint id, uint reason);

 private:
  std::optional<QDBusConnection> FBus;
  std::unordered_map<uint, std::string> FSessions;  // message id -> session name
};
