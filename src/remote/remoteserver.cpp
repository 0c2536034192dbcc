#include "remoteserver.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "remotecommands.h"
#include "remotesession.h"
#include "scpiparser.h"

namespace {

// How long a client that is being disconnected may take to read its last answer.
constexpr int closingGraceMs = 2000;
// The longest piece of a command a journal line quotes.
constexpr int quotedCommandBytes = 80;

QString peerText(const QTcpSocket* socket)
{
    return QStringLiteral("%1:%2").arg(plainPeerAddress(socket->peerAddress()).toString()).arg(socket->peerPort());
}

// A command as the journal quotes it: printable ASCII only, shortened.
QString quotedCommand(const QByteArray& command)
{
    QByteArray text = command.left(quotedCommandBytes);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    }
    QString result = QString::fromLatin1(text);
    if (command.size() > quotedCommandBytes)
        result += QStringLiteral("...");
    return result;
}

// "300 с", "0.25 с"
QString secondsText(int ms)
{
    return QStringLiteral("%1 с").arg(QString::number(ms / 1000.0, 'g', 6));
}

} // namespace

struct RemoteServer::Client
{
    QTcpSocket* socket = nullptr;
    std::unique_ptr<RemoteSession> session;
    QString peer;
    int journalErrors = 0;
    bool closing = false;
    QTimer* idleTimer = nullptr;   // a child of the socket; null without a time-out
    // The start of a line whose block data took in a '\n': the rest follows.
    QByteArray pending;
};

RemoteServer::RemoteServer(Module* moduleObject, RemoteHost* host) : module(moduleObject)
{
    defineRemoteCommands(table, moduleObject, host);
}

RemoteServer::~RemoteServer()
{
    // The sockets are children of this object and go with it.
    qDeleteAll(clients);
    qDeleteAll(departed);
}

void RemoteServer::listen(const QString& address, quint16 port)
{
    if (server || stopping)
        return;
    QHostAddress host;
    if (address.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QHostAddress(QHostAddress::LocalHost);
    else if (!host.setAddress(address)) {
        journal(QtWarningMsg, QStringLiteral("Удалённое управление не запущено: неверный адрес \"%1\"").arg(address));
        emit unavailable(QStringLiteral("неверный адрес"));
        return;
    }
    // Reachable from other computers: only for the hosts the operator has listed.
    if (!isLoopbackAddress(address) && policy.allowed.isEmpty()) {
        journal(QtWarningMsg, QStringLiteral("Удалённое управление не запущено: адрес %1 доступен с других компьютеров, "
                                             "а список разрешённых (AllowedHosts в группе Remote) пуст")
                                  .arg(address));
        emit unavailable(QStringLiteral("%1 без AllowedHosts").arg(address));
        return;
    }
    server = new QTcpServer(this);
    connect(server, &QTcpServer::newConnection, this, &RemoteServer::acceptClients);
    if (!server->listen(host, port)) {
        // The usual reason in the operator's words: another program (or another copy of this one)
        // listens there already.
        const bool busy = server->serverError() == QAbstractSocket::AddressInUseError;
        const QString reason = busy ? QStringLiteral("порт занят другой программой") : server->errorString();
        journal(QtWarningMsg, QStringLiteral("Удалённое управление не запущено: %1:%2 недоступен (%3)")
                                  .arg(address).arg(port).arg(reason));
        delete server;
        server = nullptr;
        emit unavailable(QStringLiteral("%1:%2 недоступен (%3)").arg(address).arg(port).arg(reason));
        return;
    }
    const QString shown = host.toString();
    const QString who = policy.allowed.isEmpty() ? QStringLiteral("только с этого компьютера")
                                                 : QStringLiteral("разрешены %1").arg(policy.allowed.text());
    const QString idle = policy.idleTimeoutMs > 0 ? secondsText(policy.idleTimeoutMs) : QStringLiteral("не ограничено");
    journal(QtInfoMsg, QStringLiteral("Удалённое управление ожидает подключений на %1:%2 (%3; клиентов не больше %4, "
                                      "без команд не дольше %5)")
                           .arg(shown).arg(server->serverPort()).arg(who).arg(maxClients).arg(idle));
    emit listening(shown, server->serverPort());
}

void RemoteServer::shutdown()
{
    stopping = true;
    if (server) {
        server->close();
        delete server;
        server = nullptr;
    }
    const QList<Client*> all = clients;
    for (Client* client : all) {
        client->socket->abort();
        clientGone(client);
    }
}

void RemoteServer::acceptClients()
{
    while (server && server->hasPendingConnections()) {
        QTcpSocket* socket = server->nextPendingConnection();
        socket->setParent(this);
        const QString peer = peerText(socket);
        // Without the port, so that the journal folds a flood from one host into one line.
        const QString from = plainPeerAddress(socket->peerAddress()).toString();
        QString refusal;
        if (!policy.allowed.allows(socket->peerAddress()))
            refusal = policy.allowed.isEmpty()
                          ? QStringLiteral("Удалённое управление: подключение с %1 отклонено: разрешено только с этого компьютера").arg(from)
                          : QStringLiteral("Удалённое управление: подключение с %1 отклонено: адреса нет в списке AllowedHosts").arg(from);
        else if (stopping || clients.size() >= maxClients)
            refusal = QStringLiteral("Удалённое управление: клиент с %1 не принят: подключено уже %2 клиентов, больше "
                                     "не принимается").arg(from).arg(clients.size());
        if (!refusal.isEmpty()) {
            journal(QtWarningMsg, refusal);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Qt keeps at most two of the longest lines of a client; the rest waits in the network.
        socket->setReadBufferSize(2 * (maxLineBytes + 2));
        auto* client = new Client;
        client->socket = socket;
        client->peer = peer;
        client->session.reset(new RemoteSession(table, module));
        client->session->errorReported = [this, client](int code, const QByteArray& command) {
            reportError(client, code, command);
        };
        connect(socket, &QTcpSocket::readyRead, this, [this, client] { clientReadable(client); });
        // Answers taken by the client: lines held back for it may run again.
        connect(socket, &QTcpSocket::bytesWritten, this, [this, client] { clientReadable(client); });
        connect(socket, &QTcpSocket::disconnected, this, [this, client] { clientGone(client); });
        if (policy.idleTimeoutMs > 0) {
            client->idleTimer = new QTimer(socket);
            client->idleTimer->setSingleShot(true);
            client->idleTimer->setInterval(policy.idleTimeoutMs);
            connect(client->idleTimer, &QTimer::timeout, this, [this, client] { idle(client); });
            client->idleTimer->start();
        }
        clients.append(client);
        journal(QtInfoMsg, QStringLiteral("Удалённое управление: подключился клиент %1").arg(peer));
        if (socket->bytesAvailable() > 0)
            clientReadable(client);
    }
}

void RemoteServer::clientReadable(Client* client)
{
    if (client->closing || stopping)
        return;
    touch(client);
    if (!waiting.contains(client))
        waiting.append(client);
    serveLines();
}

void RemoteServer::clientGone(Client* client)
{
    if (!clients.removeOne(client))
        return;
    waiting.removeAll(client);
    journal(QtInfoMsg, QStringLiteral("Удалённое управление: клиент %1 отключился").arg(client->peer));
    if (client->idleTimer)
        client->idleTimer->stop();
    client->socket->disconnect(this);
    client->socket->deleteLater();
    // The caller may still be inside a call on this client's socket: the record goes later.
    departed.append(client);
    QMetaObject::invokeMethod(this, [this] {
        qDeleteAll(departed);
        departed.clear();
    }, Qt::QueuedConnection);
}

void RemoteServer::serveLines()
{
    if (serving)
        return;
    serving = true;
    // One round: a line of each client that has one. A client with more goes to the back, and the
    // event loop gets its turn before the next round, so that what other clients sent meanwhile
    // is read and they take their turns too.
    for (int turn = waiting.size(); turn > 0 && !waiting.isEmpty() && !stopping; --turn) {
        Client* client = waiting.takeFirst();
        if (serveOneLine(client) && clients.contains(client))
            waiting.append(client);
    }
    serving = false;
    if (!waiting.isEmpty() && !stopping)
        QMetaObject::invokeMethod(this, [this] { serveLines(); }, Qt::QueuedConnection);
}

bool RemoteServer::serveOneLine(Client* client)
{
    QTcpSocket* socket = client->socket;
    if (client->closing || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    // A client that does not read its answers gets no more until it does (bytesWritten).
    if (socket->bytesToWrite() > maxPendingAnswers)
        return false;
    const qint64 room = maxLineBytes - client->pending.size();
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > room + 1)
            refuseOversizedLine(client);
        return false;
    }
    // The line, a '\r' before its end and the '\n' (readLine takes one less than it is given).
    QByteArray line = socket->readLine(room + 3);
    if (!line.endsWith('\n')) {
        refuseOversizedLine(client);
        return false;
    }
    line.prepend(client->pending);
    client->pending.clear();
    // A '\n' inside a block's bytes does not end the line.
    if (scpi::blockBytesMissing(line.left(line.size() - 1)) > 0) {
        client->pending = line;
        return true;
    }
    line.chop(1);
    const QByteArray answer = client->session->execute(line);
    if (!answer.isEmpty() && socket->state() == QAbstractSocket::ConnectedState)
        socket->write(answer);
    // The time without commands counts from the end of its last line.
    touch(client);
    return true;
}

void RemoteServer::touch(Client* client)
{
    if (client->idleTimer && !client->closing)
        client->idleTimer->start();
}

void RemoteServer::idle(Client* client)
{
    if (client->closing || !clients.contains(client))
        return;
    journal(QtInfoMsg, QStringLiteral("Удалённое управление: клиент %1 отключён: не было команд %2")
                           .arg(client->peer, secondsText(policy.idleTimeoutMs)));
    client->closing = true;
    waiting.removeAll(client);
    QTcpSocket* socket = client->socket;
    QTimer::singleShot(closingGraceMs, socket, [socket] { socket->abort(); });
    socket->disconnectFromHost();
    // A socket that had already failed says no more: the client goes now.
    if (socket->state() == QAbstractSocket::UnconnectedState)
        clientGone(client);
}

void RemoteServer::journal(QtMsgType type, const QString& text)
{
    if (!clock.isValid())
        clock.start();
    const qint64 now = clock.elapsed();
    if (journalWindowStart < 0 || now - journalWindowStart >= policy.journalWindowMs) {
        journalWindowEnded();
        journalWindowStart = now;
        journalWritten = 0;
        if (!journalWindow) {
            journalWindow = new QTimer(this);
            journalWindow->setSingleShot(true);
            connect(journalWindow, &QTimer::timeout, this, &RemoteServer::journalWindowEnded);
        }
        journalWindow->start(policy.journalWindowMs);
    }
    if (journalWritten >= policy.journalLines) {
        ++journalLeftOut;
        return;
    }
    ++journalWritten;
    if (type == QtInfoMsg)
        qInfo().noquote() << text;
    else
        qWarning().noquote() << text;
}

void RemoteServer::journalWindowEnded()
{
    if (journalLeftOut > 0) {
        qWarning().noquote() << QStringLiteral("Удалённое управление: не записано в журнал сообщений о клиентах: %1 "
                                               "(их было больше %2 за %3)")
                                    .arg(journalLeftOut).arg(policy.journalLines).arg(secondsText(policy.journalWindowMs));
        journalLeftOut = 0;
    }
    journalWindowStart = -1;
}

void RemoteServer::refuseOversizedLine(Client* client)
{
    journal(QtWarningMsg, QStringLiteral("Удалённое управление, клиент %1: строка длиннее %2 байт, клиент отключён")
                              .arg(client->peer).arg(maxLineBytes));
    client->closing = true;
    QTcpSocket* socket = client->socket;
    socket->write(scpi::errorEntry(scpi::TooMuchData).toUtf8() + '\n');
    // A client that does not take the answer is cut off after a while.
    QTimer::singleShot(closingGraceMs, socket, [socket] { socket->abort(); });
    socket->disconnectFromHost();
}

void RemoteServer::reportError(Client* client, int code, const QByteArray& command)
{
    ++client->journalErrors;
    if (client->journalErrors <= maxJournalErrors) {
        journal(QtWarningMsg, QStringLiteral("Удалённое управление, клиент %1: %2 в команде \"%3\"")
                                  .arg(client->peer, scpi::errorEntry(code), quotedCommand(command)));
    } else if (client->journalErrors == maxJournalErrors + 1) {
        journal(QtWarningMsg, QStringLiteral("Удалённое управление, клиент %1: следующие ошибки только в его очереди ошибок")
                                  .arg(client->peer));
    }
}
