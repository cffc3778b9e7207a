#include "ui/InstanceChannel.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

constexpr int AnswerWaitMs = 3000;
const QByteArray ShowRequest = "show\n";
const QByteArray ShownReply = "shown\n";
const QByteArray NoDisplayReply = "no display\n";

QString ChannelName(const std::string& folder) {
  const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(folder), QCryptographicHash::Sha1);
  return QStringLiteral("zephlin-") + QString::fromLatin1(digest.toHex().left(16));
}

}  // namespace

TInstanceChannel::TInstanceChannel(const std::string& folder, bool canShow, QObject* parent)
    : QObject(parent), FServer(std::make_unique<QLocalServer>()), FCanShow(canShow) {
  const QString name = ChannelName(folder);
  FServer->setSocketOptions(QLocalServer::UserAccessOption);
  if (!FServer->listen(name)) {
    QLocalServer::removeServer(name);  // left behind by a copy that died
    FServer->listen(name);
  }
  connect(FServer.get(), &QLocalServer::newConnection, this, &TInstanceChannel::Answer);
}

TInstanceChannel::~TInstanceChannel() = default;

bool TInstanceChannel::IsListening() const { return FServer->isListening(); }

void TInstanceChannel::Answer() {
  while (QLocalSocket* caller = FServer->nextPendingConnection()) {
    connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
    connect(caller, &QLocalSocket::readyRead, this, [this, caller] {
      if (!caller->canReadLine()) return;
      if (caller->readLine() == ShowRequest) {
        caller->write(FCanShow ? ShownReply : NoDisplayReply);
        caller->flush();
        if (FCanShow) emit ShowRequested();
      }
      caller->disconnectFromServer();
    });
  }
}

TInstanceChannel::TAnswer TInstanceChannel::AskToShow(const std::string& folder) {
  QLocalSocket socket;
  socket.connectToServer(ChannelName(folder));
  if (!socket.waitForConnected(AnswerWaitMs)) return NoAnswer;
  socket.write(ShowRequest);
  if (!socket.waitForBytesWritten(AnswerWaitMs)) return NoAnswer;
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(AnswerWaitMs)) return NoAnswer;
  const QByteArray reply = socket.readLine();
  return reply == ShownReply ? Shown : reply == NoDisplayReply ? NoDisplay : NoAnswer;
}
