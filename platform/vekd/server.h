// The crate service: accepts clients on a loopback TCP port, reads their request frames and answers
// them from the bench of crates and simulated modules; status, capture and fault injection for vekctl.
#ifndef VEKD_SERVER_H
#define VEKD_SERVER_H

#include "bench.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <vector>

class QIODevice;
class QJsonObject;

namespace vekd {

Nanos monotonicNow();
void logLine(const QString& text);

class Service;

// An instrument of the bench beside the crates (the simulated multimeter): vekctl wires it, injects
// its faults and reads its state through the service.
class BenchInstrument {
public:
    virtual ~BenchInstrument() = default;
    // What the instrument's input is wired to (a probe request, JSON): 0 and a message, or a
    // negative code and a message.
    virtual int wire(const QJsonObject& request, QString* message) = 0;
    // A fault request whose "target" names this instrument.
    virtual int fault(const QJsonObject& request, QString* message) = 0;
    virtual void clearFaults() = 0;
    virtual QJsonObject status() = 0;
};

// One client connection: reads request frames from its device (a TCP socket; a device in memory
// in the fuzzer), answers each in turn, and owns the device.
class Connection : public QObject {
    Q_OBJECT
public:
    enum Role { RoleNone, RoleService, RoleCrate, RoleModule };

    Connection(Service* service, QIODevice* io, const QString& peer);
    ~Connection() override;

    QString peer() const { return peer_; }
    Role role() const { return role_; }
    bool sendWaiting() const { return sendPending_; }
    // Closes the connection from the service side; the object deletes itself later.
    void drop(const QString& reason);

public Q_SLOTS:
    // The client went away (or the device reached its end).
    void onDisconnected();

private Q_SLOTS:
    void pump();
    void resumeSend();

private:
    void handle(uint16_t opcode, uint32_t requestId, std::vector<uint8_t>& payload);
    void reply(uint16_t opcode, uint32_t requestId, const vekproto::Writer& w);
    void replyStatus(uint16_t opcode, uint32_t requestId, int status);
    void replyState(uint16_t opcode, uint32_t requestId, int status);
    void malformed(const QString& why);
    // Takes one injected failure of `function` off the table and logs it; true (with the code to
    // answer) when this call is to fail. target names the crate or module, or is empty.
    bool injectedFault(FaultTable& table, const char* function, const QString& target, int* code);
    // The end of the connection, whoever ends it: the module is released, the object deletes itself later.
    void end();
    // The slot of the module this connection has open (role RoleModule), and its name "crate/slot".
    Slot& moduleSlot() const { return crate_->slots[size_t(slot_ - 1)]; }
    QString moduleName() const;
    // injectedFault() of a function of the open module.
    bool moduleFault(const char* function, int* code) { return injectedFault(moduleSlot().faults, function, moduleName(), code); }
    void releaseModule();
    void finishSend();
    void scheduleSend(Nanos now);

    void onSvcOpen(uint32_t id);
    void onGetCrates(uint32_t id);
    void onOpenCrate(uint32_t id, vekproto::Reader& r);
    void onGetCrateModules(uint32_t id);
    void onModOpen(uint32_t id, vekproto::Reader& r);
    void onModConfigure(uint32_t id, vekproto::Reader& r);
    void onModSend(uint32_t id, std::vector<uint8_t>& payload);
    void onModSimple(uint16_t opcode, uint32_t id, vekproto::Reader& r);
    void onModClose(uint32_t id);
    void onModStreamCut(uint32_t id, vekproto::Reader& r);
    void onModQuery(uint32_t id, vekproto::Reader& r);
    void onCtlCapture(uint32_t id, vekproto::Reader& r);
    void onCtlFault(uint32_t id, vekproto::Reader& r);
    void onCtlProbe(uint32_t id, vekproto::Reader& r);
    // Answers a control request with its status and message (cut to fit an answer).
    void replyMessage(uint16_t opcode, uint32_t id, int status, const QString& message);

    Service* service_;
    QIODevice* io_;
    QString peer_;
    bool closing_ = false;
    Role role_ = RoleNone;
    Crate* crate_ = nullptr;
    int slot_ = 0;

    bool haveHeader_ = false;
    vekproto::FrameHeader header_;
    std::vector<uint8_t> payload_;

    // A VEK72_Send waiting for room in the FIFO.
    bool sendPending_ = false;
    std::vector<uint8_t> sendPayload_;
    uint32_t sendRequestId_ = 0;
    uint32_t sendCount_ = 0;
    uint32_t sendTaken_ = 0;
    Nanos sendDeadline_ = 0;
    QTimer sendTimer_;
};

class Service : public QObject {
    Q_OBJECT
public:
    explicit Service(Bench bench, bool verbose, QObject* parent = nullptr);
    ~Service() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QString address() const;

    Bench& bench() { return bench_; }
    FaultTable& serviceFaults() { return serviceFaults_; }
    bool verbose() const { return verbose_; }

    QByteArray statusJson();
    // Applies a fault request (JSON); answers 0 and a message, or a negative code and a message.
    int applyFault(const QByteArray& json, Connection* from, QString* message);
    // The simulated multimeter beside the crates (not owned); none by default.
    void attachMultimeter(BenchInstrument* dmm) { dmm_ = dmm; }
    // Wires the multimeter's input (JSON); answers as applyFault does.
    int applyProbe(const QByteArray& json, Connection* from, QString* message);

    // Serves a client on an open device (the service's own sockets come through here too); the
    // connection owns the device. The caller reports the end of a stream with onDisconnected().
    Connection* adopt(QIODevice* io, const QString& peer);
    void connectionGone(Connection* c);
    void dropAll(Connection* except);

    static constexpr int kMaxConnections = 512;

private Q_SLOTS:
    void onNewConnection();

private:
    QTcpServer server_;
    Bench bench_;
    FaultTable serviceFaults_;
    BenchInstrument* dmm_ = nullptr;
    std::vector<Connection*> connections_;
    bool verbose_;
    QElapsedTimer uptime_;
    quint64 accepted_ = 0;
    quint64 malformed_ = 0;
    friend class Connection;
};

} // namespace vekd

#endif
