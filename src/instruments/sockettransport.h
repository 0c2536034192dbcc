// The line link of a LAN instrument: a raw TCP socket (SCPI on port 5025). Blocking calls in slices
// of at most 50 ms, so that a cancel flag set by another thread ends any wait that soon.
#ifndef INSTRUMENTS_SOCKETTRANSPORT_H
#define INSTRUMENTS_SOCKETTRANSPORT_H

#include "linetransport.h"

#include <QString>

#include <atomic>
#include <memory>

class QDeadlineTimer;
class QTcpSocket;

namespace instruments {

class SocketTransport : public LineTransport {
public:
    // `cancel` (may be null) is read by every wait: once true, calls answer LinkStatus::Cancelled.
    SocketTransport(const QString& host, quint16 port, const std::atomic<bool>* cancel = nullptr);
    ~SocketTransport() override;

    // "host:port" into its parts; false when it is not that (port 1..65535).
    static bool parseAddress(const QString& address, QString* host, quint16* port);

    LinkStatus open(int timeoutMs) override;
    void close() override;
    bool isOpen() const override;
    LinkStatus writeLine(const QByteArray& line, int timeoutMs) override;
    LinkStatus readLine(QByteArray* line, int timeoutMs) override;
    void discardInput() override;
    QString peerName() const override;

    // The longest a wait goes without looking at the cancel flag, milliseconds.
    static constexpr int sliceMs = 50;

private:
    bool cancelled() const { return cancel_ && cancel_->load(); }
    // The slice of the next wait: at most sliceMs and what is left until `deadline`.
    static int slice(const QDeadlineTimer& deadline);

    QString host_;
    quint16 port_;
    const std::atomic<bool>* cancel_;
    std::unique_ptr<QTcpSocket> socket_;
};

} // namespace instruments

#endif
