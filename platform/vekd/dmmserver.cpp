#include "dmmserver.h"

#include <QJsonObject>
#include <QTcpSocket>

#include <algorithm>

namespace vekd {

namespace {

// What a meter answers when something has gone wrong on its side: bytes that are no answer.
const char kGarbageBytes[] = "\x15#?\x7f@@\xfe%q\x01 0xDEAD;;";
const QByteArray kGarbage(kGarbageBytes, sizeof kGarbageBytes - 1);

} // namespace

DmmServer::DmmServer(Bench& bench, double speed, QObject* parent)
    : QObject(parent), bench_(bench), speed_(speed > 0 ? speed : 1),
      meter_(SimDmm::Identity(), [this](int channel, double seconds) { return input(channel, seconds); })
{
    server_.setMaxPendingConnections(kMaxClients);
    connect(&server_, &QTcpServer::newConnection, this, &DmmServer::onNewConnection);
    readingTimer_.setSingleShot(true);
    readingTimer_.setTimerType(Qt::PreciseTimer);
    connect(&readingTimer_, &QTimer::timeout, this, &DmmServer::readingDue);
}

DmmServer::~DmmServer() = default;

bool DmmServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (!server_.listen(address, port)) {
        if (error) *error = server_.errorString();
        return false;
    }
    return true;
}

QString DmmServer::address() const
{
    return QString("%1:%2").arg(server_.serverAddress().toString()).arg(server_.serverPort());
}

void DmmServer::onNewConnection()
{
    while (QTcpSocket* s = server_.nextPendingConnection()) {
        const QString peer = QString("%1:%2").arg(s->peerAddress().toString()).arg(s->peerPort());
        if (clients_.size() >= size_t(kMaxClients)) {
            logLine(QString("dmm: client %1 refused: %2 clients already").arg(peer).arg(clients_.size()));
            s->abort();
            s->deleteLater();
            continue;
        }
        ++accepted_;
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto client = std::make_unique<Client>();
        client->socket = s;
        client->peer = peer;
        Client* c = client.get();
        clients_.push_back(std::move(client));
        connect(s, &QTcpSocket::readyRead, this, [this, c]() {
            c->input += c->socket->readAll();
            if (c->input.size() > kMaxLineBytes && c->input.indexOf('\n') < 0)
                return removeClient(c->socket, QString("a line of more than %1 bytes").arg(kMaxLineBytes));
            serve();
        });
        // Queued: a socket closed from here must not take its client away while it is being served.
        connect(s, &QTcpSocket::disconnected, this, [this, s]() { removeClient(s, "disconnected"); },
                Qt::QueuedConnection);
        logLine(QString("dmm: client %1 connected").arg(peer));
    }
}

void DmmServer::removeClient(QTcpSocket* socket, const QString& reason)
{
    auto it = std::find_if(clients_.begin(), clients_.end(), [socket](const auto& c) { return c->socket == socket; });
    if (it == clients_.end()) return;
    logLine(QString("dmm: client %1: %2; connection closed").arg((*it)->peer, reason));
    if (reading_ == it->get()) {
        readingTimer_.stop();
        reading_ = nullptr;
        readingHeld_ = false;
    }
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    clients_.erase(it);
    QTimer::singleShot(0, this, &DmmServer::serve);
}

void DmmServer::serve()
{
    // Every client in turn, one line each, until a reading holds the meter or nothing is left.
    bool progress = true;
    while (progress && !hung_ && !reading_) {
        progress = false;
        for (size_t k = 0; k < clients_.size() && !hung_ && !reading_; ++k) {
            Client& c = *clients_[(served_ + 1 + k) % clients_.size()];
            const bool busy = c.inLine || c.input.contains('\n');
            if (!busy) continue;
            served_ = (served_ + 1 + k) % clients_.size();
            serveClient(c);
            progress = true;
            break;
        }
    }
}

bool DmmServer::serveClient(Client& c)
{
    if (!c.inLine) {
        const int end = c.input.indexOf('\n');
        if (end < 0) return true;
        const QByteArray line = c.input.left(end);
        c.input.remove(0, end + 1);
        c.commands = scpi::parseLine(line);
        c.next = 0;
        c.answers.clear();
        c.inLine = true;
    }
    while (c.next < c.commands.size()) {
        const SimDmm::Step step = meter_.execute(c.commands.at(c.next++));
        if (step.readingSeconds > 0) {
            reading_ = &c;
            readingTimer_.start(std::max(0, int(step.readingSeconds * 1000 / speed_ + 0.5)));
            return false;
        }
        if (step.answered) c.answers << step.answer;
    }
    finishLine(c);
    return true;
}

void DmmServer::finishLine(Client& c)
{
    c.inLine = false;
    c.commands.clear();
    c.next = 0;
    if (c.answers.isEmpty()) return;
    QByteArray line = c.answers.join(';').toLatin1() + '\n';
    c.answers.clear();
    if (garbage_ > 0) {
        --garbage_;
        logLine(QString("dmm: client %1: injected fault: garbage instead of an answer").arg(c.peer));
        line = kGarbage + '\n';
    }
    c.socket->write(line);
}

void DmmServer::readingDue()
{
    if (!reading_) return;
    if (hung_) {
        readingHeld_ = true;
        return;
    }
    Client& c = *reading_;
    reading_ = nullptr;
    c.answers << meter_.finishReading();
    if (serveClient(c)) serve();
}

OutputTrace DmmServer::input(int scannerChannel, double seconds)
{
    OutputTrace open;
    open.volts.assign(1, 0.0);
    const int output = wiring_.kind == Wiring::Probe ? wiring_.channel
                       : wiring_.kind == Wiring::Scanner ? scannerChannel : 0;
    Crate* crate = output > 0 ? bench_.find(wiring_.crate) : nullptr;
    Vek72Module* module = crate ? crate->slots[size_t(wiring_.slot - 1)].module.get() : nullptr;
    if (!module) return open;
    module->advance(monotonicNow());
    return module->outputTrace(unsigned(output - 1), seconds);
}

QString DmmServer::wiringText() const
{
    const QString where = QString("%1/%2").arg(QString::fromStdString(wiring_.crate)).arg(wiring_.slot);
    switch (wiring_.kind) {
    case Wiring::Probe: return QString("the probe touches %1 output %2").arg(where).arg(wiring_.channel);
    case Wiring::Scanner: return QString("scanner channels 101..108 reach %1 outputs 1..8").arg(where);
    case Wiring::None: break;
    }
    return "the input is open";
}

int DmmServer::wire(const QJsonObject& o, QString* message)
{
    Wiring w;
    if (!o.value("off").toBool(false)) {
        w.crate = o.value("crate").toString().toStdString();
        w.slot = o.value("slot").toInt(0);
        Crate* crate = w.crate.empty() ? nullptr : bench_.find(w.crate);
        if (!crate) {
            *message = w.crate.empty() ? QString("a crate serial is needed") : QString("no crate \"%1\"").arg(QString::fromStdString(w.crate));
            return -1;
        }
        if (w.slot < 1 || w.slot > 16 || !crate->slots[size_t(w.slot - 1)].module) {
            *message = QString("crate %1 has no VEK72 in slot %2").arg(QString::fromStdString(w.crate)).arg(w.slot);
            return -1;
        }
        const int channels = crate->slots[size_t(w.slot - 1)].module->identity().channels;
        if (o.value("scanner").toBool(false)) {
            w.kind = Wiring::Scanner;
        } else {
            w.kind = Wiring::Probe;
            w.channel = o.value("channel").toInt(0);
            if (w.channel < 1 || w.channel > channels) {
                *message = QString("the module has outputs 1..%1").arg(channels);
                return -1;
            }
        }
    }
    wiring_ = w;
    meter_.setScanner(w.kind == Wiring::Scanner);
    *message = wiringText();
    return 0;
}

int DmmServer::fault(const QJsonObject& o, QString* message)
{
    const QString action = o.value("action").toString();
    if (action == "hang") {
        hung_ = o.value("on").toBool(true);
        *message = hung_ ? QString("the multimeter hangs: nothing is answered") : QString("the multimeter answers again");
        if (!hung_) {
            if (readingHeld_) {
                readingHeld_ = false;
                QTimer::singleShot(0, this, &DmmServer::readingDue);
            } else {
                QTimer::singleShot(0, this, &DmmServer::serve);
            }
        }
    } else if (action == "drop") {
        *message = QString("dropping %1 multimeter connection(s)").arg(clients_.size());
        std::vector<QTcpSocket*> sockets;
        for (const auto& c : clients_) sockets.push_back(c->socket);
        for (QTcpSocket* s : sockets) removeClient(s, "dropped by fault injection");
    } else if (action == "garbage") {
        const int count = o.value("count").toInt(1);
        if (count < 0 || count > 1000000) {
            *message = "count must be 0..1000000";
            return -1;
        }
        garbage_ = count;
        *message = QString("the next %1 answer(s) of the multimeter are garbage").arg(count);
    } else if (action == "clear") {
        clearFaults();
        *message = "the multimeter's faults cleared";
    } else {
        *message = QString("unknown fault action \"%1\" for the multimeter (hang, drop, garbage, clear)").arg(action);
        return -1;
    }
    return 0;
}

void DmmServer::clearFaults()
{
    garbage_ = 0;
    if (hung_) {
        QString ignored;
        fault(QJsonObject{{"action", "hang"}, {"on", false}}, &ignored);
    }
}

QJsonObject DmmServer::status()
{
    QJsonObject o = meter_.status();
    o.insert("address", address());
    o.insert("speed", speed_);
    o.insert("clients", int(clients_.size()));
    o.insert("accepted", double(accepted_));
    o.insert("reading", reading_ != nullptr);
    o.insert("wiring", wiringText());
    o.insert("faults", QJsonObject{{"hang", hung_}, {"garbage", garbage_}});
    return o;
}

} // namespace vekd
