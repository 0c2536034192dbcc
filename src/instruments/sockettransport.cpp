#include "sockettransport.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

#include <algorithm>

namespace instruments {

QString linkStatusText(LinkStatus status, int timeoutMs)
{
    switch (status) {
    case LinkStatus::Ok: return QStringLiteral("ответил");
    case LinkStatus::Timeout: return QStringLiteral("не ответил за %1 мс").arg(timeoutMs);
    case LinkStatus::Closed: return QStringLiteral("закрыл соединение");
    case LinkStatus::Refused: return QStringLiteral("недоступен (соединение не установлено)");
    case LinkStatus::Cancelled: return QStringLiteral("обмен прерван");
    case LinkStatus::Overlong: return QStringLiteral("прислал строку длиннее %1 байт").arg(LineTransport::maxLineBytes);
    }
    return {};
}

SocketTransport::SocketTransport(const QString& host, quint16 port, const std::atomic<bool>* cancel)
    : host_(host), port_(port), cancel_(cancel)
{
}

SocketTransport::~SocketTransport()
{
    close();
}

bool SocketTransport::parseAddress(const QString& address, QString* host, quint16* port)
{
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint value = address.mid(colon + 1).toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    *host = address.left(colon).trimmed();
    *port = quint16(value);
    return !host->isEmpty() && !host->contains(QLatin1Char(' '));
}

int SocketTransport::slice(const QDeadlineTimer& deadline)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, sliceMs));
}

LinkStatus SocketTransport::open(int timeoutMs)
{
    close();
    socket_ = std::make_unique<QTcpSocket>();
    socket_->connectToHost(host_, port_);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (cancelled()) {
            close();
            return LinkStatus::Cancelled;
        }
        if (socket_->waitForConnected(slice(deadline))) {
            socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            return LinkStatus::Ok;
        }
        if (socket_->state() == QAbstractSocket::UnconnectedState) {
            close();
            return LinkStatus::Refused;
        }
        if (deadline.hasExpired()) {
            close();
            return LinkStatus::Timeout;
        }
    }
}

void SocketTransport::close()
{
    if (socket_) {
        socket_->abort();
        socket_.reset();
    }
}

bool SocketTransport::isOpen() const
{
    return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

LinkStatus SocketTransport::writeLine(const QByteArray& line, int timeoutMs)
{
    if (!isOpen())
        return LinkStatus::Closed;
    socket_->write(line + '\n');
    const QDeadlineTimer deadline(timeoutMs);
    while (socket_->bytesToWrite() > 0) {
        if (cancelled())
            return LinkStatus::Cancelled;
        if (socket_->state() != QAbstractSocket::ConnectedState)
            return LinkStatus::Closed;
        if (deadline.hasExpired())
            return LinkStatus::Timeout;
        socket_->waitForBytesWritten(slice(deadline));
    }
    return LinkStatus::Ok;
}

LinkStatus SocketTransport::readLine(QByteArray* line, int timeoutMs)
{
    if (!socket_)
        return LinkStatus::Closed;
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (socket_->canReadLine()) {
            *line = socket_->readLine(maxLineBytes + 2);
            if (!line->endsWith('\n'))
                return LinkStatus::Overlong;
            line->chop(line->endsWith("\r\n") ? 2 : 1);
            return LinkStatus::Ok;
        }
        if (socket_->bytesAvailable() > maxLineBytes)
            return LinkStatus::Overlong;
        if (socket_->state() != QAbstractSocket::ConnectedState)
            return LinkStatus::Closed;
        if (cancelled())
            return LinkStatus::Cancelled;
        if (deadline.hasExpired())
            return LinkStatus::Timeout;
        socket_->waitForReadyRead(slice(deadline));
    }
}

void SocketTransport::discardInput()
{
    if (socket_)
        socket_->readAll();
}

QString SocketTransport::peerName() const
{
    return QStringLiteral("%1:%2").arg(host_).arg(port_);
}

} // namespace instruments
