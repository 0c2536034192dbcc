// The simulated multimeter on the network: SCPI command lines over a raw TCP socket (as a LAN meter
// serves them on port 5025), one line per '\n', the answers of a line's queries joined by ';' in one
// line. One meter serves every client in turn: a reading holds the meter for the time it takes
// (divided by the speed-up), and lines wait meanwhile.
//
// Its input is wired by vekctl probe: a probe on one output of a simulated module, or a scanner
// whose channels 101..108 reach the outputs 1..8 of one slot. Faults (vekctl fault --target dmm):
// hang (nothing is answered until the fault is taken back; what came meanwhile is served then),
// drop (every client connection is closed), garbage (the next answers are bytes that mean nothing).
#ifndef VEKD_DMMSERVER_H
#define VEKD_DMMSERVER_H

#include "bench.h"
#include "dmmsim.h"
#include "server.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

class QTcpSocket;

namespace vekd {

class DmmServer : public QObject, public BenchInstrument {
    Q_OBJECT
public:
    // speed: readings take their time divided by this (1: as the real meter).
    DmmServer(Bench& bench, double speed, QObject* parent = nullptr);
    ~DmmServer() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QString address() const;
    SimDmm& meter() { return meter_; }

    int wire(const QJsonObject& request, QString* message) override;
    int fault(const QJsonObject& request, QString* message) override;
    void clearFaults() override;
    QJsonObject status() override;

    static constexpr int kMaxClients = 16;
    static constexpr int kMaxLineBytes = 65536;

private Q_SLOTS:
    void onNewConnection();
    void serve();
    void readingDue();

private:
    struct Client {
        QTcpSocket* socket = nullptr;
        QString peer;
        QByteArray input;                 // bytes received, not yet a whole line
        bool inLine = false;              // a line is being served
        QVector<scpi::Command> commands;  // its commands
        int next = 0;                     // its next command
        QStringList answers;              // its answers so far
    };
    struct Wiring {
        enum Kind { None, Probe, Scanner } kind = None;
        std::string crate;
        int slot = 0;
        int channel = 0; // the probe's output 1..8
    };

    // The voltage at the meter's input: the wired output's recent history, 0 V when open.
    OutputTrace input(int scannerChannel, double seconds);
    // Serves one client's line as far as it goes; false when a reading holds the meter.
    bool serveClient(Client& client);
    void finishLine(Client& client);
    void removeClient(QTcpSocket* socket, const QString& reason);
    QString wiringText() const;

    Bench& bench_;
    double speed_;
    QTcpServer server_;
    SimDmm meter_;
    std::vector<std::unique_ptr<Client>> clients_;
    Client* reading_ = nullptr; // the client whose reading is under way
    bool readingHeld_ = false;  // that reading came due while the meter hung
    QTimer readingTimer_;
    Wiring wiring_;
    bool hung_ = false;
    int garbage_ = 0;
    quint64 accepted_ = 0;
    size_t served_ = 0; // the client served last, so that every client gets its turn
};

} // namespace vekd

#endif
